"""Report descriptors for fuzzing Corvane through the real HID stack: random
but well-formed ones, each from a seed, and a fixed set of malformed ones.

A descriptor is bytes; `describe()` says in a few words what went into one.
"""

# Item prefixes: tag << 4 | type << 2; the size code is added when written.
USAGE_PAGE, LOGICAL_MIN, LOGICAL_MAX, UNIT_EXP, UNIT, REPORT_SIZE, REPORT_ID, REPORT_COUNT, PUSH, POP = (
    0x04, 0x14, 0x24, 0x54, 0x64, 0x74, 0x84, 0x94, 0xA4, 0xB4)
USAGE, USAGE_MIN, USAGE_MAX = 0x08, 0x18, 0x28
INPUT, FEATURE, COLLECTION, END_COLLECTION = 0x80, 0xB0, 0xA0, 0xC0
DATA_VARIABLE, CONSTANT = 0x02, 0x03

POWER, BATTERY = 0x84, 0x85
VALUE_USAGES = [(BATTERY, 0x66), (BATTERY, 0x68), (POWER, 0x35), (POWER, 0x44), (POWER, 0x30),
                (BATTERY, 0x67), (BATTERY, 0x83), (POWER, 0x31), (POWER, 0x32), (POWER, 0x36)]
FLAG_USAGES = [(BATTERY, 0xD0), (BATTERY, 0x44), (BATTERY, 0x45), (POWER, 0x69), (BATTERY, 0x42),
               (BATTERY, 0x4B), (POWER, 0x65), (BATTERY, 0xD1), (POWER, 0x60), (POWER, 0x61)]
COLLECTION_USAGES = [0x24, 0x12, 0x10, 0x1A, 0x1C, 0x02, 0x03, 0x20, 0x16]
UNITS = [0, 0x00F0D121, 0x0000D121, 0x00001001, 0x00E0D121]

# The emulator keeps descriptors of up to this many bytes.
LONGEST_DESCRIPTOR = 4096


class Writer:
    def __init__(self):
        self.data = bytearray()

    def item(self, prefix, value=0, size=None):
        """An item with an unsigned value in the fewest bytes (or `size` bytes)."""
        if size is None:
            size = 0 if value == 0 and prefix in (END_COLLECTION, PUSH, POP) else \
                1 if value <= 0xFF else 2 if value <= 0xFFFF else 4
        code = {0: 0, 1: 1, 2: 2, 4: 3}[size]
        self.data.append(prefix | code)
        self.data += (value & 0xFFFFFFFF).to_bytes(4, "little")[:size]

    def signed(self, prefix, value):
        size = 1 if -128 <= value <= 127 else 2 if -32768 <= value <= 32767 else 4
        self.item(prefix, value & (1 << 8 * size) - 1, size)

    def usage(self, page, usage):
        self.item(USAGE_PAGE, page)
        self.item(USAGE, usage)


class Random:
    """One random, well-formed UPS (or, now and then, another HID device)."""

    def __init__(self, rng):
        self.rng = rng
        self.w = Writer()
        self.with_ids = rng.random() < 0.8
        self.notes = []

    def report_id(self):
        if self.with_ids:
            self.w.item(REPORT_ID, self.rng.choice([1, 2, 3, 4, 5, 7, 16, 42, 200, 255]))

    def value_field(self):
        rng, w = self.rng, self.w
        bits = rng.choice([1, 2, 4, 7, 8, 8, 8, 12, 16, 16, 16, 24, 31, 32, 32])
        count = rng.choice([1, 1, 1, 2, 3])
        ranged = rng.random() < 0.15
        page, usage = rng.choice(VALUE_USAGES) if rng.random() < 0.85 else (rng.randint(0xFF00, 0xFFFF), rng.randint(1, 40))
        if rng.random() < 0.3 and bits > 1:
            low, high = -rng.randint(1, 1 << bits - 1), rng.randint(1, (1 << bits - 1) - 1 or 1)
        else:
            low, high = 0, min((1 << bits) - 1, 0x7FFFFFFF)
        push = rng.random() < 0.1
        if push:
            w.item(PUSH)
        w.item(USAGE_PAGE, page)
        if ranged:
            w.item(USAGE_MIN, usage)
            w.item(USAGE_MAX, usage + count)
            count += 1
        else:
            for _ in range(count):
                w.item(USAGE, usage)
        w.item(REPORT_SIZE, bits)
        w.item(REPORT_COUNT, count)
        w.signed(LOGICAL_MIN, low)
        w.signed(LOGICAL_MAX, high)
        w.item(UNIT, rng.choice(UNITS), 4)
        w.item(UNIT_EXP, rng.randint(-8, 7) & 0xF)
        w.item(FEATURE, DATA_VARIABLE)
        if push:
            w.item(POP)

    def flag_fields(self):
        """Flags as 1-bit fields padded to a whole byte, or as bytes with a
        logical range of 0..1, as many UPSes declare them."""
        rng, w = self.rng, self.w
        flags = rng.sample(FLAG_USAGES, rng.randint(1, 6))
        bits = 1 if rng.random() < 0.6 else 8
        for page, usage in flags:
            w.usage(page, usage)
            w.item(REPORT_SIZE, bits)
            w.item(REPORT_COUNT, 1)
            w.item(LOGICAL_MIN, 0)
            w.item(LOGICAL_MAX, 1)
            w.item(FEATURE, DATA_VARIABLE)
        if bits == 1 and len(flags) % 8:
            w.item(REPORT_SIZE, 8 - len(flags) % 8)
            w.item(REPORT_COUNT, 1)
            w.item(FEATURE, CONSTANT)

    def collection(self, depth):
        rng, w = self.rng, self.w
        w.usage(POWER, rng.choice(COLLECTION_USAGES))
        w.item(COLLECTION, rng.choice([0, 0, 2]))
        self.report_id()
        for _ in range(rng.randint(1, 3)):
            if rng.random() < 0.6:
                self.value_field()
            else:
                self.flag_fields()
        if depth < 3 and rng.random() < 0.4:
            self.collection(depth + 1)
        w.item(END_COLLECTION)

    def build(self):
        rng, w = self.rng, self.w
        top = rng.random()
        if top < 0.9:
            w.usage(POWER, 0x04)
        elif top < 0.95:
            w.usage(BATTERY, 0x01)
            self.notes.append("battery-system top")
        else:
            w.usage(0xFF00, 0x01)
            self.notes.append("vendor top")
        w.item(COLLECTION, 1)
        if rng.random() < 0.3:
            self.notes.append("flat")
            self.report_id()
            for _ in range(rng.randint(1, 6)):
                self.value_field() if rng.random() < 0.6 else self.flag_fields()
        else:
            for _ in range(rng.randint(1, 4)):
                self.collection(0)
        # hidclass keeps a read pending on an input report.
        self.report_id()
        w.usage(POWER, 0x73)
        w.item(REPORT_SIZE, 1)
        w.item(REPORT_COUNT, 1)
        w.item(LOGICAL_MIN, 0)
        w.item(LOGICAL_MAX, 1)
        w.item(INPUT, DATA_VARIABLE)
        w.item(REPORT_SIZE, 7)
        w.item(INPUT, CONSTANT)
        w.item(END_COLLECTION)
        return bytes(w.data)


def random_descriptor(rng):
    """(descriptor bytes, notes) of a random well-formed device."""
    generator = Random(rng)
    return generator.build(), generator.notes


def _ups_start(w):
    w.usage(POWER, 0x04)
    w.item(COLLECTION, 1)
    w.usage(POWER, 0x24)
    w.item(COLLECTION, 0)
    w.item(REPORT_ID, 1)


def _charge(w, size, count):
    w.usage(BATTERY, 0x66)
    w.item(REPORT_SIZE, size)
    w.item(REPORT_COUNT, count)
    w.item(LOGICAL_MIN, 0)
    w.item(LOGICAL_MAX, 100)
    w.item(FEATURE, DATA_VARIABLE)


def _ups_end(w):
    w.item(END_COLLECTION)
    w.item(REPORT_ID, 9)
    w.usage(POWER, 0x73)
    w.item(REPORT_SIZE, 8)
    w.item(REPORT_COUNT, 1)
    w.item(INPUT, DATA_VARIABLE)
    w.item(END_COLLECTION)


def _wrapped(body):
    w = Writer()
    _ups_start(w)
    body(w)
    _ups_end(w)
    return bytes(w.data)


def _longest():
    w = Writer()
    _ups_start(w)
    end = Writer()
    _ups_end(end)
    # Feature fields of Voltage across many report ids until the descriptor
    # is exactly as long as the emulator takes.
    report = 2
    while len(w.data) + len(end.data) + 40 < LONGEST_DESCRIPTOR:
        w.item(REPORT_ID, report)
        w.usage(POWER, 0x30)
        w.item(REPORT_SIZE, 16)
        w.item(REPORT_COUNT, 1)
        w.item(LOGICAL_MIN, 0)
        w.item(LOGICAL_MAX, 65535, 4)
        w.item(FEATURE, DATA_VARIABLE)
        report = report % 200 + 2
    _charge(w, 8, 1)
    while len(w.data) + len(end.data) < LONGEST_DESCRIPTOR:
        w.item(USAGE, 0x66)      # local items that the next main item never comes to use
    w.data = w.data[:LONGEST_DESCRIPTOR - len(end.data)]
    return bytes(w.data + end.data)


def _unclosed():
    w = Writer()
    _ups_start(w)
    _charge(w, 8, 1)
    return bytes(w.data)


def _extra_end():
    return _wrapped(lambda w: (_charge(w, 8, 1), w.item(END_COLLECTION), w.item(END_COLLECTION)))


def _truncated():
    return _wrapped(lambda w: _charge(w, 8, 1))[:-1] + bytes([0x27])   # a 4-byte item with no bytes


def _feature_only():
    w = Writer()
    _ups_start(w)
    _charge(w, 8, 1)
    w.item(END_COLLECTION)
    w.item(END_COLLECTION)
    return bytes(w.data)


def _deep():
    w = Writer()
    _ups_start(w)
    for _ in range(40):
        w.usage(POWER, 0x24)
        w.item(COLLECTION, 0)
    _charge(w, 8, 1)
    for _ in range(40):
        w.item(END_COLLECTION)
    _ups_end(w)
    return bytes(w.data)


# (name, descriptor) of the malformed and extreme ones, each run once a run.
def malformed_descriptors():
    return [
        ("zero-size field", _wrapped(lambda w: _charge(w, 0, 1))),
        ("zero-count field", _wrapped(lambda w: _charge(w, 8, 0))),
        ("zero-length report", _wrapped(lambda w: (w.item(REPORT_ID, 3), w.item(REPORT_SIZE, 0),
                                                    w.item(REPORT_COUNT, 0), w.item(FEATURE, CONSTANT),
                                                    w.item(REPORT_ID, 1), _charge(w, 8, 1)))),
        ("count of 65535 bytes", _wrapped(lambda w: _charge(w, 8, 0xFFFF))),
        ("count of 2^32-1", _wrapped(lambda w: _charge(w, 32, 0xFFFFFFFF))),
        ("64-bit value field", _wrapped(lambda w: _charge(w, 64, 1))),
        ("logical minimum above maximum", _wrapped(lambda w: (w.item(LOGICAL_MIN, 100), w.usage(BATTERY, 0x66),
                                                               w.item(REPORT_SIZE, 8), w.item(REPORT_COUNT, 1),
                                                               w.item(LOGICAL_MAX, 5), w.item(FEATURE, DATA_VARIABLE)))),
        ("usage maximum below minimum", _wrapped(lambda w: (w.item(USAGE_PAGE, BATTERY), w.item(USAGE_MIN, 0x68),
                                                             w.item(USAGE_MAX, 0x66), w.item(REPORT_SIZE, 8),
                                                             w.item(REPORT_COUNT, 3), w.item(FEATURE, DATA_VARIABLE)))),
        ("usage minimum alone", _wrapped(lambda w: (w.item(USAGE_PAGE, BATTERY), w.item(USAGE_MIN, 0x66),
                                                     w.item(REPORT_SIZE, 8), w.item(REPORT_COUNT, 1),
                                                     w.item(FEATURE, DATA_VARIABLE)))),
        ("report id 0 declared", _wrapped(lambda w: (w.item(REPORT_ID, 0, 1), _charge(w, 8, 1)))),
        ("pop without push", _wrapped(lambda w: (w.item(POP), w.item(POP), _charge(w, 8, 1)))),
        ("push without pop", _wrapped(lambda w: [w.item(PUSH) for _ in range(20)] and _charge(w, 8, 1))),
        ("long item", _wrapped(lambda w: (w.data.extend([0xFE, 4, 0x10, 1, 2, 3, 4]), _charge(w, 8, 1)))),
        ("collection not closed", _unclosed()),
        ("collection closed twice", _extra_end()),
        ("truncated item", _truncated()),
        ("collections 42 deep", _deep()),
        ("longest descriptor the emulator takes", _longest()),
        ("no input report", _feature_only()),
    ]
