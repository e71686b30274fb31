"""Reads the learning layer's spans out of program bytes: just enough of the flatbuffer format for tests."""


def _u(data, at, size=4, signed=False):
    return int.from_bytes(data[at:at + size], "little", signed=signed)


class Table:
    def __init__(self, data, at):
        self.data, self.at = data, at

    def field(self, index):
        """Where field `index` is stored, or None when it is absent."""
        vtable = self.at - _u(self.data, self.at, signed=True)
        entry = 4 + 2 * index
        offset = _u(self.data, vtable + entry, 2) if entry < _u(self.data, vtable, 2) else 0
        return self.at + offset if offset else None

    def table(self, index):
        at = self.field(index)
        return Table(self.data, at + _u(self.data, at)) if at is not None else None

    def struct(self, index, count):
        at = self.field(index)
        return [_u(self.data, at + 4 * i) for i in range(count)] if at is not None else None

    def structs(self, index, count):
        at = self.field(index)
        if at is None:
            return []
        start = at + _u(self.data, at)
        return [[_u(self.data, start + 4 + 4 * (count * n + i)) for i in range(count)]
                for n in range(_u(self.data, start))]


def learning_spans(program):
    """(registers_a, registers_b, weight tracks, FNP2 filters) as lists of 32-bit words read through the learning
    layer's spans of the program information; None when the program has no learning layer."""
    info_size = _u(program, 0)
    info, data = program[:4 + info_size], program[4 + info_size:]
    learning = Table(info, 4 + _u(info, 4)).table(14)
    if learning is None:
        return None
    words = lambda span: [_u(data, span[0] + 4 * i) for i in range(span[1])] if span and span[1] else []
    weights = learning.table(2)
    return (words(learning.struct(0, 2)), words(learning.struct(1, 2)),
            [words(span) for span in weights.structs(0, 2)], words(weights.struct(1, 2)))
