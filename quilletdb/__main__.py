from quilletdb.cli import main

raise SystemExit(main())
