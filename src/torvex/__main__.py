"""``python3 -m torvex``: the command line."""

import sys

from torvex.cli import main

sys.exit(main())
