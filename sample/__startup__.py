import sys

import jsonpp


def run():
    sys.exit(jsonpp.main(sys.argv))
