from tamsel_cli._main import main

raise SystemExit(main())
