from tamsel_cli import main

raise SystemExit(main())
