"""`python -m kestrune_protocol_buffer_python.commands`: the file commands alone."""
from kestrune_protocol_buffer_python.commands import main

raise SystemExit(main())
