"""`ornix log` and ornix.recording over recordings written here: the table, what it flags, the
summary, and files that are no recording."""

import json

import pytest

from ornix.recording import RecordingError, read_recording, summary, table

HEADER = {"recording": 1, "port": "/dev/ttyACM0"}


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
    frame(0.0, "host", "0a", "wakeup"),
    frame(0.000150, "device", "0b" + "00" * 21, "device_info", device_id=769, model=4),
    frame(0.010, "host", "aa", "get_temperature"),
    frame(0.010250, "device", "aa0000c841", "temperature", celsius=25.0),
    # Unanswered for longer than the device time-out: the host gave up and asked again.
    frame(0.020, "host", "aa", "get_temperature"),
    frame(5.600, "host", "aa", "get_temperature"),
    {"t": 5.600300, "from": "device", "hex": "55006f", "frame": None, "error": "unknown code"},
    # A request that asks for no answer, followed at once by the next.
    frame(5.700, "host", "db00000000", "handle_state", device_id=0, length=0),
    frame(5.700100, "host", "aa", "get_temperature"),
    frame(5.700400, "device", "aa0000cc41", "temperature", celsius=25.5),
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


@pytest.mark.parametrize(
    "lines, reason",
    [
        (["not json"], "not JSON"),
        ([json.dumps({"t": 0, "from": "host"})], "no recording header"),
        ([json.dumps(HEADER), json.dumps({"t": 0, "from": "moon", "hex": ""})], "'from' is"),
        ([json.dumps(HEADER), json.dumps({"t": 0, "from": "host", "hex": "zz"})], "not a record"),
        ([], "empty"),
    ],
)
def test_files_that_are_no_recording_say_where(tmp_path, lines, reason):
    path = tmp_path / "bad.jsonl"
    path.write_text("\n".join(lines))
    with pytest.raises(RecordingError, match=reason):
        read_recording(str(path))


def test_log_command(tmp_path, run_ornix):
    path = write(tmp_path / "session.jsonl", *SESSION)
    printed = run_ornix("log", path)
    assert printed.returncode == 0 and printed.stdout.count("\n") == len(SESSION)
    assert run_ornix("log", path, "--summary").stdout.startswith("10 records over 5.700 s")
    missing = run_ornix("log", str(tmp_path / "none.jsonl"))
    assert missing.returncode == 1 and missing.stderr.startswith("ornix: ")
