import sys

from taloma.demo import main

sys.exit(main())
