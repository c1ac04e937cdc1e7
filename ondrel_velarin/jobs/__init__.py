"""The tool's jobs, one module each on top of `ondrel_velarin.cli`.

The first is the default: the one `python -m ondrel_velarin` runs when the
command line names none. A job is added by writing its module (a
`cli.Job` subclass) and listing its instance here.
"""

from ..cli import Job
from .convert import CONVERT
from .segment import SEGMENT
from .tokenize import TOKENIZE

JOBS: list[Job] = [SEGMENT, CONVERT, TOKENIZE]
