"""``python -m lumotext``: the same as the ``lumotext`` command."""

import sys

from lumotext.cli import main

sys.exit(main())
