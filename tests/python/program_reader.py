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


def skipdma_faults(program):
    """Each skip-DMA load that reads no store (same index, TNP-B flag and frames, in its pass or an earlier one) and
    each store that no load of its pass or a later one reads, as texts; [] when all pair."""
    info = program[:4 + _u32(program, 0)]
    spans = _field(info, 4 + _u32(info, 4), 13)  # ProgramInfo.pass_spans
    entries = {"store": [], "load": []}
    for p in range(_u32(info, spans + _u32(info, spans)) if spans else 0):
        at = spans + _u32(info, spans) + 4 + 4 * p
        table = at + _u32(info, at)
        for kind, index in (("store", 1), ("load", 2)):  # PassSpans.skipdma_stores, skipdma_loads
            vector = _field(info, table, index)
            if vector is None:
                continue
            vector += _u32(info, vector)
            # SKipDmaInfoTrack: ident (4 bytes), tnp_b, frames, index, a padding byte, size (4 bytes)
            entries[kind] += [(p, tuple(info[s + 4:s + 7])) for s in range(vector + 4, vector + 4 + 12 * _u32(info, vector), 12)]
    def text(kind, p, key):
        return f"{kind} of index {key[2]} (TNP-B {key[0]}, {key[1]} frames) in pass {p}"
    faults = [text("load", p, key) + " reads no store" for p, key in entries["load"]
              if not any(key == k and q <= p for q, k in entries["store"])]
    return faults + [text("store", p, key) + " is never loaded" for p, key in entries["store"]
                     if not any(key == k and q >= p for q, k in entries["load"])]
