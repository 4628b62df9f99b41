"""``python -m voriviv``: the same as the ``voriviv`` command."""
from voriviv.cli import console_main

console_main()
