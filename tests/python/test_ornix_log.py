"""`ornix log` and ornix.recording over recordings written here: the table, what it flags, the
summary, the reading as a stream, and files that are no recording or not one that can be read."""

import io
import json
import random
import subprocess

import pytest

import wire
from ornix.recording import (
    Record,
    RecordingError,
    RecordingReader,
    flags,
    read_recording,
    rows,
    summarise,
    summary,
    table,
)

HEADER = {"recording": 1, "port": "/dev/ttyACM0"}
WAKEUP = wire.device_wakeup().hex()
GET_TEMPERATURE = wire.get_temperature().hex()
TEMPERATURE = wire.temperature(25.0).hex()
REQUEST_STATUS = wire.request_status()
COMPACT_STATUS = wire.compact_status(bytes(18))
# The first bytes of replies to a status request: what the summary counts is when they came.
ANSWER = wire.error_response(0x0102, 42)[:1]
STATUS_ANSWER = wire.status_message(0x0001, 0, 0, (1, 0, 0, 0))[:2]


def write(path, *records, header=HEADER):
    lines = ([json.dumps(header)] if header else []) + [json.dumps(record) for record in records]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def frame(t, sender, hex_, name=None, **fields):
    record = {"t": t, "from": sender, "hex": hex_}
    if name:
        record.update(frame=name, fields=fields)
    return record


SESSION = [
    frame(0.0, "host", WAKEUP, "wakeup"),
    frame(
        0.000150,
        "device",
        wire.device_info(769, 4, 0, 0, bytes(16)).hex(),
        "device_info",
        device_id=769,
        model=4,
    ),
    frame(0.010, "host", GET_TEMPERATURE, "get_temperature"),
    frame(0.010250, "device", TEMPERATURE, "temperature", celsius=25.0),
    # Unanswered for longer than the device time-out: the host gave up and asked again.
    frame(0.020, "host", GET_TEMPERATURE, "get_temperature"),
    frame(5.600, "host", GET_TEMPERATURE, "get_temperature"),
    {"t": 5.600300, "from": "device", "hex": "55006f", "frame": None, "error": "unknown code"},
    # A request that asks for no answer, followed at once by the next.
    frame(5.700, "host", wire.handle_state(0).hex(), "handle_state", device_id=0, length=0),
    frame(5.700100, "host", GET_TEMPERATURE, "get_temperature"),
    frame(5.700400, "device", wire.temperature(25.5).hex(), "temperature", celsius=25.5),
]


def test_table_shows_each_frame_and_marks_what_went_wrong(tmp_path):
    rows = table(read_recording(write(tmp_path / "session.jsonl", *SESSION))).splitlines()
    assert len(rows) == len(SESSION)
    assert rows[1].split() == ["0.000150", "<-", "device_info", "device_id=769", "model=4"]
    assert "temperature" in rows[3] and "celsius=25" in rows[3] and "!" not in rows[3]
    assert rows[4].endswith("! time-out: no answer within 5 s")
    assert "!" not in rows[5] and "!" not in rows[7]
    assert rows[6].split()[2:] == ["(bytes)", "55", "00", "6f", "!", "unknown", "code"]


def test_summary_counts_frames_and_answer_latencies(tmp_path):
    text = summary(read_recording(write(tmp_path / "session.jsonl", *SESSION))).splitlines()
    assert text[0] == "10 records over 5.700 s; 1 with errors, 2 flagged"
    counts = {tuple(line.split()[:2]): int(line.split()[2]) for line in text[2:8]}
    assert counts[("->", "get_temperature")] == 4
    assert counts[("<-", "(bytes)")] == 1
    latencies = {
        line.split()[1]: line.split()[2:]
        for line in text[text.index("latency of the answer, in microseconds:") + 2 :]
    }
    # Answers after 250, 300 (bytes of no frame) and 300 microseconds; the unanswered request
    # has none, the request that asks for none is not counted.
    assert latencies == {"get_temperature": ["300", "300", "300", "300"], "wakeup": ["150"] * 4}


def packet(t):
    return Record(t, "device", COMPACT_STATUS, "compact_status")


def request(t):
    return Record(t, "host", REQUEST_STATUS, "request_status")


class TestTimeOuts:
    def test_a_request_followed_only_by_a_handles_stream_times_out(self):
        stream = [request(1.0)] + [packet(1.0 + 0.01 * step) for step in range(1, 700)]
        assert flags(stream) == {0: "time-out: no answer within 5 s"}
        # The recording ends before the time-out has passed: nothing is known yet.
        assert flags(stream[:400]) == {}

    def test_an_answer_after_the_stream_settles_the_request(self):
        answered = [request(1.0), packet(1.5), packet(2.0), Record(2.1, "device", ANSWER)]
        assert flags(answered) == {}
        late = [request(1.0), packet(3.0), packet(6.5), Record(6.6, "device", STATUS_ANSWER)]
        assert flags(late) == {0: "time-out: no answer within 5 s"}
        # The answer that came after the time-out still counts among the latencies.
        assert (
            summarise(late).splitlines()[-1].split() == ["->", "request_status"] + ["5600000"] * 4
        )

    def test_bytes_of_no_frame_keep_their_error_over_a_time_out(self):
        spoiled = [Record(0.0, "host", b"\xee", error="unknown code"), packet(9.0)]
        assert flags(spoiled) == {0: "unknown code"}


def recording_lines(records):
    """Lines of a recording holding `records`, produced one by one as they are read, with how
    many have been read so far."""
    taken = [0]

    def lines():
        yield (json.dumps(HEADER) + "\n").encode()
        for record in records:
            taken[0] += 1
            yield (json.dumps(record) + "\n").encode()

    return lines(), taken


class TestStreaming:
    def test_rows_come_out_as_soon_as_they_are_settled(self):
        session = []
        for step in range(2000):
            session += [
                frame(step * 0.001, "host", GET_TEMPERATURE, "get_temperature"),
                frame(step * 0.001 + 0.0002, "device", TEMPERATURE, "temperature"),
            ]
        lines, taken = recording_lines(session)
        reader = RecordingReader(lines, "arm.jsonl")
        for number, _ in enumerate(rows(reader.records()), start=1):
            # A request waits for its answer, the answer for nothing.
            assert taken[0] <= number + 1

        # A request without answer holds back the handle's stream for one time-out, no more.
        stream = [frame(0.0, "host", REQUEST_STATUS.hex(), "request_status")] + [
            frame(0.01 * step, "device", COMPACT_STATUS.hex(), "compact_status")
            for step in range(1, 3000)
        ]
        lines, taken = recording_lines(stream)
        first = next(rows(RecordingReader(lines, "handle.jsonl").records()))
        assert first.endswith("! time-out: no answer within 5 s")
        assert taken[0] == 502

    def test_the_summary_keeps_no_record_and_no_list_of_latencies(self):
        tracemalloc = pytest.importorskip("tracemalloc", reason="PyPy traces no allocations")

        def peak(exchanges):
            session = (
                record
                for step in range(exchanges)
                for record in (
                    frame(step * 0.001, "host", GET_TEMPERATURE, "get_temperature"),
                    frame(step * 0.001 + 0.00015 + step % 20 * 1e-6, "device", TEMPERATURE),
                )
            )
            lines, _ = recording_lines(session)
            tracemalloc.start()
            try:
                text = summarise(RecordingReader(lines, "arm.jsonl").records())
                return tracemalloc.get_traced_memory()[1], text
            finally:
                tracemalloc.stop()

        small, text = peak(1000)
        large, text = peak(20000)
        assert text.startswith("40000 records over 19.999 s; 0 with errors, 0 flagged")
        assert text.splitlines()[-1].split()[1:] == ["get_temperature", "160", "168", "169", "169"]
        # A list of the records alone would take megabytes.
        assert large < small + 100_000

    def test_percentiles_are_those_of_every_latency(self):
        chance = random.Random(7)
        records, latencies = [], []
        t = 0.0
        for _ in range(3001):
            waited = round(chance.uniform(0.0001, 0.0009), 6)
            t = round(t + 0.001, 6)
            records += [request(t), Record(round(t + waited, 6), "device", STATUS_ANSWER)]
            latencies.append((records[-1].time - t) * 1e6)
        ordered = sorted(latencies)
        expected = [ordered[int(p * len(ordered))] for p in (0.5, 0.9, 0.99)] + [ordered[-1]]
        cells = summarise(records).splitlines()[-1].split()[2:]
        assert cells == [f"{value:.0f}" for value in expected]


def read_text(content, name="bad.jsonl"):
    """The records of a recording with this content, or the message that refuses it."""
    reader = RecordingReader(io.BytesIO(content), name)
    return list(reader.records()), reader.cut_short


GOOD_HEADER = b'{"recording": 1}\n'
GOOD_FRAME = b'{"t": 0.5, "from": "host", "hex": "0a"}\n'


def frame_line(**members):
    return (json.dumps({"t": 0.5, "from": "host", "hex": "0a", **members}) + "\n").encode()


def nested(depth, inner="1"):
    """A frame whose "fields" hold `inner` `depth` levels inside the line's object, in objects
    and lists by turns."""
    levels = range(depth - 1)
    opening = "".join("[" if level % 2 else '{"x": ' for level in levels)
    closing = "".join("]" if level % 2 else "}" for level in reversed(levels))
    text = f'{{"t": 0.5, "from": "host", "hex": "0a", "fields": {opening}{inner}{closing}}}\n'
    return text.encode()


class TestReadingRules:
    @pytest.mark.parametrize(
        "content, message",
        [
            (b"", "bad.jsonl: empty, not a recording"),
            (b" \t\r\n\n", "bad.jsonl: empty, not a recording"),
            (b"not json\n", "bad.jsonl:1: not JSON (Expecting value, column 1)"),
            (b"\n" + GOOD_FRAME, "bad.jsonl:2: no recording header"),
            (b'{"recording": true}\n', "bad.jsonl:1: no recording header"),
            (b'{"recording": "1"}\n', "bad.jsonl:1: no recording header"),
            (b'{"recording": 2}\n', "bad.jsonl:1: a recording of an unknown version"),
            (b"[1]\n", "bad.jsonl:1: not a JSON object"),
            (b'{"recording": 1, "x": NaN}\n', "bad.jsonl:1: not JSON (NaN is no JSON number)"),
            (b'{"recording": 1}\n{"t": Infinity}\n', "bad.jsonl:2: not JSON (Infinity is no"),
            (b'{"recording": 1}\n{"t": -Infinity}\n', "bad.jsonl:2: not JSON (-Infinity is no"),
            (b'{"recording": 1, "port": "\xff"}\n', "bad.jsonl:1: not UTF-8 text (byte 27)"),
            (GOOD_HEADER + b"\x0c" + GOOD_FRAME, "bad.jsonl:2: not JSON (Expecting value, col"),
        ],
    )
    def test_files_that_are_no_recording_say_where(self, content, message):
        with pytest.raises(RecordingError) as refused:
            read_text(content)
        assert str(refused.value).startswith(message)

    @pytest.mark.parametrize(
        "members, message",
        [
            ({"t": -0.5}, '"t" must be a time from 0 to 1000000000 seconds'),
            ({"t": 1e9 + 1}, '"t" must be a time'),
            ({"t": "0.5"}, '"t" must be a time'),
            ({"t": True}, '"t" must be a time'),
            ({"from": "moon"}, '"from" must be "host" or "device"'),
            ({"hex": ""}, '"hex" must be bytes, two hex digits each'),
            ({"hex": "a"}, '"hex" must be'),
            ({"hex": "0a 0b"}, '"hex" must be'),
            ({"hex": "zz"}, '"hex" must be'),
            ({"hex": 10}, '"hex" must be'),
            ({"frame": ["state"]}, '"frame" must be a string or null'),
            ({"frame": {"name": "state"}}, '"frame" must be'),
            ({"fields": []}, '"fields" must be an object'),
            ({"fields": None}, '"fields" must be an object'),
            ({"error": 1}, '"error" must be a string or null'),
        ],
    )
    def test_frames_that_break_a_rule_say_which(self, members, message):
        with pytest.raises(RecordingError) as refused:
            read_text(GOOD_HEADER + frame_line(**members))
        assert str(refused.value).startswith(f"bad.jsonl:2: {message}")

    def test_what_the_rules_allow(self):
        content = (
            b'{"recording": 1.0}\r\n'
            + b" \t\r\n"
            + b'{"t": 0.001, "device": "arm"}\n'
            + b'{"comment": [1, 2]}\n'
            + frame_line(t=0, hex="0A0b", frame=None, error=None, later={"member": 1})
            + frame_line(t=1000000000, frame="state", fields={"x": [1]}, error="")
            + b'{"t": 2, "from": "host", "hex": "0a", "fields": {"n": '
            + b"9" * 5000
            + b"}}\n"
        )
        records, cut_short = read_text(content)
        assert [(record.time, record.data) for record in records] == [
            (0.0, b"\x0a\x0b"),
            (1e9, b"\x0a"),
            (2.0, b"\x0a"),
        ]
        # More digits than Python makes an int of by default: a number all the same.
        assert records[1].fields == {"x": [1]} and records[2].fields["n"] > 10**4000
        assert cut_short is None

    @pytest.mark.parametrize(
        "line, refused",
        [
            (nested(32), False),
            (nested(33), True),
            (nested(32, inner="[]"), False),
            (nested(32, inner="{}"), False),
            (nested(32, inner="[ \t]"), False),
            (nested(32, inner="[[]]"), True),
            (nested(32, inner='{"y": 1}'), True),
            (nested(100000), True),
            (nested(31, inner='"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\\"[[[["'), False),
        ],
    )
    def test_no_value_lies_more_than_32_levels_inside(self, line, refused):
        if refused:
            with pytest.raises(
                RecordingError,
                match="^bad.jsonl:2: not a line of a recording: values nested more than 32 deep$",
            ):
                read_text(GOOD_HEADER + line)
        else:
            assert len(read_text(GOOD_HEADER + line)[0]) == 1

    @pytest.mark.parametrize(
        "last", [b'{"t": 0.7, "from": "dev', b'{"t": 0.7, "from": "host", "hex": "0"}', b"\xe2\x82"]
    )
    def test_a_last_line_cut_short_is_left_out_with_a_warning(self, last):
        records, cut_short = read_text(GOOD_HEADER + GOOD_FRAME + b"\n" + last)
        assert len(records) == 1
        assert cut_short.startswith("bad.jsonl:4: the last line, cut short, is left out: ")
        # The same line with its newline is a fault of the file.
        with pytest.raises(RecordingError, match="^bad.jsonl:4: "):
            read_text(GOOD_HEADER + GOOD_FRAME + b"\n" + last + b"\n")

    def test_a_last_line_without_newline_that_reads_is_a_record(self):
        records, cut_short = read_text(GOOD_HEADER + GOOD_FRAME.rstrip(b"\n"))
        assert len(records) == 1 and cut_short is None
        with pytest.raises(RecordingError, match="^bad.jsonl:1: not JSON"):
            read_text(b'{"recording": 1')


def test_log_command(tmp_path, run_ornix):
    path = write(tmp_path / "session.jsonl", *SESSION)
    printed = run_ornix("log", path)
    assert printed.returncode == 0 and printed.stdout.count("\n") == len(SESSION)
    assert printed.stdout.splitlines() == table(read_recording(path)).splitlines()
    assert run_ornix("log", path, "--summary").stdout.startswith("10 records over 5.700 s")
    missing = run_ornix("log", str(tmp_path / "none.jsonl"))
    assert missing.returncode == 1
    assert missing.stderr == f"ornix: {tmp_path / 'none.jsonl'}: No such file or directory\n"


@pytest.mark.parametrize(
    "bad",
    [
        frame_line(frame=["state"]),
        frame_line(frame={"name": "state"}),
        nested(5000),
        frame_line(t=-1.0),
        b'{"t": 0.5, "from": "host", "hex": "0a", "port": "\xc0\xaf"}\n',
    ],
)
def test_log_command_refuses_a_bad_line_in_one_message(tmp_path, run_ornix, bad):
    path = tmp_path / "bad.jsonl"
    path.write_bytes(GOOD_HEADER + GOOD_FRAME + bad + GOOD_FRAME)
    for options in ([], ["--summary"]):
        printed = run_ornix("log", str(path), *options)
        assert printed.returncode == 1
        assert printed.stderr.startswith(f"ornix: {path}:3: ")
        assert printed.stderr.count("\n") == 1, printed.stderr


def test_log_command_warns_of_a_last_line_cut_short(tmp_path, run_ornix):
    path = tmp_path / "killed.jsonl"
    path.write_bytes(GOOD_HEADER + GOOD_FRAME + GOOD_FRAME + b'{"t": 0.6, "fr')
    printed = run_ornix("log", str(path))
    assert printed.returncode == 0
    assert printed.stdout.count("\n") == 2
    assert printed.stderr == (
        f"ornix: warning: {path}:4: the last line, cut short, is left out: not JSON "
        "(Unterminated string starting at, column 12)\n"
    )
    summarised = run_ornix("log", str(path), "--summary")
    assert summarised.returncode == 0 and summarised.stdout.startswith("2 records over")
    assert summarised.stderr == printed.stderr


def test_log_command_prints_names_from_the_file_escaped(tmp_path, run_ornix):
    path = tmp_path / "odd\nname\x1b[2J.jsonl"
    lines = [
        {"t": 0.1, "from": "host", "hex": "0a", "frame": "wake\nup", "fields": {"a\tb": "x\x1by"}},
        {"t": 0.2, "from": "device", "hex": "ee", "frame": None, "error": "bad\rcode"},
    ]
    path.write_text("".join(json.dumps(line) + "\n" for line in [HEADER, *lines]) + "[1]\n")
    printed = run_ornix("log", str(path))
    assert printed.stdout.splitlines() == [
        "    0.100000  ->  " + "wake\\nup".ljust(24) + " a\\tb=x\\x1by",
        "    0.200000  <-  " + "(bytes)".ljust(24) + " ee  ! bad\\rcode",
    ]
    assert printed.stderr == f"ornix: {tmp_path}/odd\\nname\\x1b[2J.jsonl:4: not a JSON object\n"


def test_log_command_stops_quietly_when_its_reader_does(tmp_path, run_ornix):
    path = write(
        tmp_path / "long.jsonl",
        *(frame(step * 0.001, "host", "aa", "get_temperature") for step in range(20000)),
    )
    # The command that run_ornix runs, read off a run of it.
    command = run_ornix("--help").args[:-1]
    with subprocess.Popen(
        [*command, "log", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path
    ) as log:
        assert log.stdout.readline().split()[:2] == [b"0.000000", b"->"]
        log.stdout.close()
        assert log.wait(timeout=120) == 1
        assert log.stderr.read() == b""
