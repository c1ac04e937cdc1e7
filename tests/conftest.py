import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import signal

# A suite started in the background (`cmd &` in a script) inherits Ctrl-C as
# ignored, and the tool's children would keep ignoring it, as they should:
# the tests that interrupt them need it delivered.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
