"""The warnings of a run: the kind of each line a fill printed, which lines are
printed (the first few of each kind, or all), and the counts of the rest for
the summary line."""
import collections
from collections.abc import Iterable

# The lines set_message_fields prints, by kind.
UNKNOWN_KEY = "unknown key"
NON_LIST = "non-list value"
NON_DICT = "non-dict value"
OTHER = "other output"


def warning_kind(text: str) -> str:
    """The kind of a line that a fill printed."""
    if text.startswith("Warning: ") and " is not a valid field of " in text:
        return UNKNOWN_KEY
    if text.startswith("Error: Field "):
        if text.endswith(" is a repeated field, but a non-list value was provided"):
            return NON_LIST
        if text.endswith(" is a message type, but a non-dict value was provided"):
            return NON_DICT
    return OTHER


class Shown:
    """Which warnings are printed: the first `limit` of each kind (None: all)."""

    def __init__(self, limit: int | None) -> None:
        self.limit = limit
        self.printed: collections.Counter[str] = collections.Counter()

    def take(self, kind: str) -> bool:
        """Whether the next warning of `kind` is printed; counts it if so."""
        if self.limit is not None and self.printed[kind] >= self.limit:
            return False
        self.printed[kind] += 1
        return True


class Tally(Shown):
    """The warnings of a whole run: the lines printed, and every warning counted
    by kind for the summary line."""

    def __init__(self, limit: int | None) -> None:
        super().__init__(limit)
        self.counts: collections.Counter[str] = collections.Counter()
        self.lacking = 0          # records with keys their type lacks

    def count(self, kinds: Iterable[tuple[str, int]], lacking: int) -> None:
        self.counts.update(dict(kinds))
        self.lacking += lacking

    def describe(self) -> str:
        """The warnings' part of the summary line: "12 warnings", and what was not
        printed, by kind, and how many records had keys their type lacks."""
        total = sum(self.counts.values())
        text = f"{total} warnings"
        held = {kind: self.counts[kind] - self.printed[kind] for kind in sorted(self.counts)
                if self.counts[kind] > self.printed[kind]}
        if held:
            by_kind = ", ".join(f"{count} {kind}" for kind, count in held.items())
            text += f" ({sum(self.printed.values())} printed; not printed: {by_kind})"
        if self.lacking:
            text += f", {self.lacking} records with keys the type lacks"
        return text
