"""The learning layer's spans of program bytes, read with just enough of the flatbuffer format for tests."""


def _u32(data, at, size=4, signed=False):
    return int.from_bytes(data[at:at + size], "little", signed=signed)


def _field(data, table, index):
    """Where field `index` of the table at `table` is stored, or None."""
    vtable = table - _u32(data, table, signed=True)
    entry = 4 + 2 * index
    offset = _u32(data, vtable + entry, 2) if entry < _u32(data, vtable, 2) else 0
    return table + offset if offset else None


def learning_spans(program):
    """The words of the learning layer's registers with learning on and off, of its FNP memory tracks and of its
    FNP2 filters (lists of 32-bit words); None without a learning layer."""
    info_size = _u32(program, 0)
    info, data = program[:4 + info_size], program[4 + info_size:]
    at = _field(info, 4 + _u32(info, 4), 14)  # ProgramInfo.learning_layer
    if at is None:
        return None
    learning = at + _u32(info, at)

    def words(span):  # a TrackSpan (offset into the data part, word count) stored at `span`
        return [_u32(data, _u32(info, span) + 4 * i) for i in range(_u32(info, span + 4))]

    spans = _field(info, learning, 2)  # weights_spans, a RecordSpans table
    spans += _u32(info, spans)
    tracks = _field(info, spans, 0)
    tracks = tracks + _u32(info, tracks) if tracks else None
    filters = _field(info, spans, 1)
    return (words(_field(info, learning, 0)), words(_field(info, learning, 1)),
            [words(tracks + 4 + 8 * n) for n in range(_u32(info, tracks))] if tracks else [],
            words(filters) if filters else [])
