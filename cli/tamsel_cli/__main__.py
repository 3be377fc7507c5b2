from tamsel_tools import main

raise SystemExit(main())
