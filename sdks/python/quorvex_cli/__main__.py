"""python -m quorvex_cli: the quorvex command."""

import sys

from ._main import main

sys.exit(main())
