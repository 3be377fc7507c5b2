from tamsel_tools.cli.main import main

raise SystemExit(main())
