from tamsel_tools._main import main

raise SystemExit(main())
