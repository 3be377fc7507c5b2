"""Decision logs and `tamsel replay`: every replayed outcome against `PyTamsel.evaluate` of the
original input, the summary's exact counts and examples, bad logs located, partial summaries
merged in any order."""

import json
import math
import os
import random
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest

import tamsel
from conftest import POLICY, SCHEMA
from tamsel_tools import DecisionLog, DecisionLogError, Policy, ReplayError, main, replay
from tamsel_tools.base.strict_json import dumps

pa = pytest.importorskip("pyarrow")
parquet = pytest.importorskip("pyarrow.parquet")
gzip = pytest.importorskip("gzip")  # needs zlib, which some builds of Python lack

from tamsel_tools.replaying.evaluators import outcome, policy_evaluator  # noqa: E402
from tamsel_tools.replaying.fragments import Job, PolicyTexts, replay_fragment  # noqa: E402
from tamsel_tools.replaying.logs import plan  # noqa: E402
from tamsel_tools.replaying.summary import PartialSummary, report  # noqa: E402

# The new policy: large refunds from 2000 on, and too little trust held for approval.
NEW_POLICY = POLICY.replace("literal: 1000", "literal: 2000").replace(
    "value:\n        subject: {domain: snapshot, field: min_trust_level}\n    effect: block",
    "value:\n        subject: {domain: snapshot, field: min_trust_level}\n    effect: require_approval",
)
assert NEW_POLICY.count("require_approval") == 2
OLD = tamsel.PyTamsel(SCHEMA, POLICY)
NEW = tamsel.PyTamsel(SCHEMA, NEW_POLICY)

AMOUNTS = [5, 999.5, 1000, 1500, 1999, 2000.5, 10**6, math.nan, -0.0, 0.0, math.inf, 2**53 + 1, 2**64 + 7,
           "1500", None, [1500], True, 10**400]
CURRENCIES = ["EUR", "USD", "eur", "", "€"]
TRUSTS = [0, 1, 2.5, 3, 5, math.nan, -0.0, 0.0, 2**53 + 1, "3", None]


def generated(count, seed=7):
    """Inputs of every kind a log meets: special numbers, integers past 2**53, values refused,
    absent domains and fields, a field of another kind than the schema declares."""
    rng = random.Random(seed)
    inputs = []
    for _ in range(count):
        action = {"type": rng.choice(["refund", "refund", "close_account", 7])}
        if rng.random() < 0.9:
            action["amount"] = rng.choice(AMOUNTS)
        if rng.random() < 0.8:
            action["currency"] = rng.choice(CURRENCIES)
        input = {"action": action}
        if rng.random() < 0.8:
            input["actor"] = {"trust_level": rng.choice(TRUSTS), "frozen": rng.random() < 0.2,
                              "role": rng.choice(["agent", "bot"])}
        if rng.random() < 0.7:
            input["snapshot"] = {"min_trust_level": rng.choice([2, 3]), "maintenance_mode": False}
        inputs.append(input)
    return inputs


def write_log(folder, format, inputs, **limits):
    """The inputs' decisions by the old policy, recorded; each record's id its index."""
    with DecisionLog(folder, OLD, format, **limits) as log:
        for index, input in enumerate(inputs):
            try:
                log.record(input, decision=OLD.evaluate(input), id=index)
            except TypeError as error:
                log.record(input, error=str(error), id=index)


def expected(inputs):
    """The oracle: the counts of a replay, from `evaluate` of each original input."""
    transitions, rules, changed, errors = Counter(), Counter(), 0, 0
    for input in inputs:
        before, after = outcome(OLD, input), outcome(NEW, input)
        transitions[(before[0], after[0])] += 1
        errors += after[0] == "error"
        if before != after:
            changed += 1
            rules[(before[1], after[1])] += 1
    return changed, errors, transitions, rules


def summary_counts(found):
    return (
        found.changed,
        found.errors,
        Counter({(t.from_, t.to): t.count for t in found.transitions}),
        Counter({(r.from_rule, r.to_rule): r.count for r in found.rule_changes}),
    )


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """600 generated inputs, recorded in Parquet (small files, so kinds conflict within some)
    and in JSON Lines."""
    root = tmp_path_factory.mktemp("logs")
    inputs = generated(600)
    write_log(root / "parquet", "parquet", inputs, max_records=64)
    write_log(root / "jsonl", "jsonl", inputs, max_records=250)
    return root, inputs


def new_policy():
    return Policy(SCHEMA, NEW_POLICY)


def test_every_parquet_record_replays_as_evaluate_of_its_original_input(logs):
    root, inputs = logs
    evaluate = policy_evaluator(new_policy())  # the replay's own: the engine's columns
    seen = set()
    files = sorted((root / "parquet").iterdir())
    assert len(files) > 600 // 64  # records of conflicting kinds started files of their own
    for path in files:
        table = parquet.read_table(path)
        outcomes = evaluate(table.select(["input"]).combine_chunks().to_batches()[0])
        for id, effect, rule, error in zip(table.column("id").to_pylist(), *(outcomes.column(name).cast(pa.string()).to_pylist()
                                                                              for name in ("effect", "matched_rule", "error"))):
            want = outcome(NEW, inputs[int(id)])
            assert (effect or "error", rule, error) == want, inputs[int(id)]
            seen.add(int(id))
    assert seen == set(range(len(inputs)))


@pytest.mark.parametrize("format", ["parquet", "jsonl"])
def test_the_summary_counts_exactly_what_evaluate_says(logs, format):
    root, inputs = logs
    found = replay(root / format, new_policy(), threads=2)
    assert found.records == len(inputs) and found.bad == 0
    assert summary_counts(found) == expected(inputs)
    assert found.unchanged == found.records - found.changed
    assert found.baseline_hash == OLD.policy_hash() and found.other_hashes == ()
    # The first five of each transition, in log order, each holding an input that decides so.
    for transition in {example.transition for example in found.examples}:
        ordinals = [e.ordinal for e in found.examples if e.transition == transition]
        assert ordinals == sorted(ordinals) and len(ordinals) <= 5
    for example in found.examples:
        assert (outcome(OLD, example.input)[0], outcome(NEW, example.input)[0]) == example.transition


def test_json_lines_and_parquet_of_the_same_records_give_the_same_summary(logs):
    root, _ = logs
    first = dumps(replay(root / "jsonl", new_policy(), examples=0).to_json())
    second = dumps(replay(root / "parquet", new_policy(), examples=0).to_json())
    assert first == second


def test_partial_summaries_merge_in_any_order_to_the_one_pass_summary(logs):
    root, _ = logs
    fragments, bad = plan([str(root / "parquet"), str(root / "jsonl")])
    assert bad == [] and len(fragments) > 10
    job = Job(PolicyTexts(SCHEMA, NEW_POLICY), examples=3)
    partials = [replay_fragment(fragment, job) for fragment in fragments]
    reports = []
    for seed in range(3):
        random.Random(seed).shuffle(partials)
        merged = PartialSummary()
        for partial in partials:
            merged.merge(partial, job.examples)
        reports.append(dumps(report(merged, None).to_json()))
    assert reports[0] == reports[1] == reports[2]
    one_pass = replay([root / "parquet", root / "jsonl"], new_policy(), examples=3, threads=1)
    assert reports[0] == dumps(one_pass.to_json())
    # Log order: the Parquet log's examples first, as it was named first.
    assert [e.file.split("/")[-2] for e in one_pass.examples][:1] == ["parquet"]


# ---- the command, on small logs written by hand ----

RECORDS = [
    # line 1: decided the same
    {"time": "2026-01-01T00:00:00Z", "policy_hash": "h1", "input": {"action": {"type": "refund", "amount": 10, "currency": "EUR"}},
     "decision": {"effect": "allow", "matched_rule": None}},
    # line 2: blocked by the old threshold, allowed by the new one
    {"time": "2026-01-02T00:00:00Z", "policy_hash": "h1", "input": {"action": {"type": "refund", "amount": 1500, "currency": "EUR"}},
     "decision": {"effect": "block", "matched_rule": "block_large_refunds"}},
    # line 3: too little trust, now held for approval; domains at the top level
    {"time": "2026-01-03T00:00:00Z", "policy_hash": "h2", "actor": {"trust_level": 1, "role": "bot"},
     "snapshot": {"min_trust_level": 3}, "decision": {"effect": "block", "matched_rule": "below_required_trust"}},
    # line 4: an error recorded, replayed as the same error
    {"time": "2026-01-04T00:00:00Z", "policy_hash": "h1", "input": {"action": {"type": "refund", "amount": {"refused": "NoneType"}}},
     "error": "Unsupported value type"},
    # line 5: recorded under a decision that the policy never made (special numbers tagged)
    {"time": "2026-01-05T00:00:00+01:00", "policy_hash": "h1",
     "input": {"action": {"type": "refund", "amount": {"number": "NaN"}, "currency": "EUR"}, "actor": {"trust_level": 1, "role": "bot"}},
     "decision": {"effect": "require_approval", "matched_rule": "x"}},
]

EXPECTED = {
    "records": 5, "unchanged": 2, "changed": 3, "errors": 1, "bad": 0, "outside_window": 0,
    "transitions": [
        {"from": "allow", "to": "allow", "count": 1},
        {"from": "block", "to": "allow", "count": 1},
        {"from": "block", "to": "require_approval", "count": 1},
        {"from": "error", "to": "error", "count": 1},
        {"from": "require_approval", "to": "allow", "count": 1},
    ],
    "rule_changes": [
        {"from_rule": "below_required_trust", "to_rule": "below_required_trust", "count": 1},
        {"from_rule": "block_large_refunds", "to_rule": None, "count": 1},
        {"from_rule": "x", "to_rule": None, "count": 1},
    ],
    "action_types": [{"action_type": "refund", "count": 2}, {"action_type": None, "count": 1}],
    "actor_values": [{"field": "role", "value": "bot", "count": 2}, {"field": "trust_level", "value": 1.0, "count": 2}],
    "examples": [
        {"from": "block", "to": "allow", "input": RECORDS[1]["input"], "file": "log.jsonl", "position": 2},
        {"from": "block", "to": "require_approval", "input": {"actor": RECORDS[2]["actor"], "snapshot": RECORDS[2]["snapshot"]},
         "file": "log.jsonl", "position": 3},
        {"from": "require_approval", "to": "allow", "input": RECORDS[4]["input"], "file": "log.jsonl", "position": 5},
    ],
    "policy_hash": "h1",
    "other_policy_hashes": [{"policy_hash": "h2", "count": 1}],
    "bad_records": [],
}


def run(capsys, *argv):
    status = main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err.splitlines()


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("schema.yaml").write_text(SCHEMA)
    Path("old.yaml").write_text(POLICY)
    Path("new.yaml").write_text(NEW_POLICY)
    return tmp_path


def lines(records):
    return "".join(json.dumps(record) + "\n" for record in records)


DOCUMENTS = ("--schema", "schema.yaml", "--policy", "new.yaml")


def test_replay_prints_the_exact_summary(capsys, folder):
    Path("log.jsonl").write_text(lines(RECORDS))
    status, out, err = run(capsys, "replay", *DOCUMENTS, "--json", "log.jsonl")
    assert status == 1
    assert json.loads(out) == EXPECTED
    assert err == ["warning: 1 records were made under another policy than the baseline h1: h2 (1)"]
    status, out, _ = run(capsys, "replay", *DOCUMENTS, "log.jsonl")
    assert out.splitlines()[:8] == [
        "5 records replayed: 2 unchanged, 3 changed (60.0%), 1 errors",
        "transitions (recorded -> replayed):",
        "  allow -> allow             1  20.0%",
        "  block -> allow             1  20.0%",
        "  block -> require_approval  1  20.0%",
        "  error -> error             1  20.0%",
        "  require_approval -> allow  1  20.0%",
        "changes by deciding rule (recorded -> replayed):",
    ]
    assert "  block -> allow at log.jsonl:2" in out.splitlines()


def test_nothing_changed_is_status_0_and_examples_are_cut(capsys, folder):
    Path("log.jsonl").write_text(lines(RECORDS[:2]))
    status, out, _ = run(capsys, "replay", "--schema", "schema.yaml", "--policy", "old.yaml", "--json", "log.jsonl")
    assert (status, json.loads(out)["changed"]) == (0, 0)
    Path("log.jsonl").write_text(lines(RECORDS[1:2] * 4))
    status, out, _ = run(capsys, "replay", *DOCUMENTS, "--json", "--examples", "2", "log.jsonl")
    assert [e["position"] for e in json.loads(out)["examples"]] == [1, 2]


def test_since_and_until_select_by_time(capsys, folder):
    Path("log.jsonl").write_text(lines(RECORDS))
    status, out, _ = run(capsys, "replay", *DOCUMENTS, "--json", "--since", "2026-01-02T00:00:00Z",
                         "--until", "2026-01-04T23:00:00Z", "log.jsonl")
    found = json.loads(out)
    # Line 5 is at 2026-01-04T23:00Z: its offset counts, and --until leaves it out.
    assert (found["records"], found["outside_window"], found["changed"]) == (3, 2, 2)


def test_against_compares_two_policies_on_logs_without_decisions(capsys, folder):
    inputs = [{"input": record.get("input", {})} for record in RECORDS]
    Path("inputs.jsonl").write_text(lines(inputs))
    status, out, _ = run(capsys, "replay", *DOCUMENTS, "--against", "old.yaml", "--json", "inputs.jsonl")
    found = json.loads(out)
    assert (status, found["records"], found["changed"]) == (1, 5, 1)
    assert found["transitions"][1] == {"from": "block", "to": "allow", "count": 1}
    assert found["policy_hash"] == OLD.policy_hash()
    assert found["other_policy_hashes"] == [{"policy_hash": None, "count": 5}]
    status, _, err = run(capsys, "replay", *DOCUMENTS, "inputs.jsonl")
    assert (status, err) == (2, ["inputs.jsonl:1: no decision nor error recorded (--against compares two policies "
                                 "on logs without them)"])


def test_compressed_and_columnar_logs_give_the_summary_of_the_plain_one(capsys, folder):
    import zstandard

    text = lines(RECORDS).encode()
    Path("log.jsonl").write_bytes(text)
    Path("log.jsonl.gz").write_bytes(gzip.compress(text))
    Path("log.jsonl.zst").write_bytes(zstandard.ZstdCompressor().compress(text))
    outputs = [run(capsys, "replay", *DOCUMENTS, "--json", "--examples", "0", name)[1]
               for name in ("log.jsonl", "log.jsonl.gz", "log.jsonl.zst")]
    assert outputs[0] == outputs[1] == outputs[2]
    assert json.loads(outputs[0])["changed"] == 3


def hive(root, hashes):
    """A hive-partitioned dataset: policy_hash=H/day=D/part.parquet, the hash only in the path."""
    for number, policy_hash in enumerate(hashes):
        place = root / f"policy_hash={policy_hash}" / f"day=2026-01-0{number + 1}"
        place.mkdir(parents=True)
        write_log(place, "parquet", generated(40, seed=number))
        for written in place.iterdir():
            table = parquet.read_table(written).drop_columns(["policy_hash"])
            parquet.write_table(table, written)
        (place / "_SUCCESS").write_text("")


def test_a_hive_partitioned_dataset_is_read_in_path_order_with_its_keys(capsys, folder):
    hive(folder / "dataset", ["aaa", "bbb"])
    status, out, err = run(capsys, "replay", *DOCUMENTS, "--json", "dataset")
    found = json.loads(out)
    inputs = generated(40, seed=0) + generated(40, seed=1)
    assert (found["records"], found["bad"]) == (80, 0)
    assert (found["changed"], found["errors"]) == expected(inputs)[:2]
    assert (found["policy_hash"], found["other_policy_hashes"]) == ("aaa", [{"policy_hash": "bbb", "count": 40}])
    assert all(e["file"].startswith("dataset/policy_hash=aaa/") for e in found["examples"][:1])
    assert err == ["warning: 40 records were made under another policy than the baseline aaa: bbb (40)"]


BAD_LINES = [
    ('{"input": {}, "decision": {"effect": "allow"}}\n{"input": \n', "log.jsonl:2:11: invalid JSON: Expecting value"),
    ("[1, 2]\n", "log.jsonl:1: not a record: not an object"),
    ('{"decision": {"effect": "allow"}}\n', "log.jsonl:1: not a record: no input nor any domain"),
    ('{"input": {}, "decision": {"effect": "deny"}}\n',
     "log.jsonl:1: its decision's effect is none of allow, block, require_approval"),
    ('\n\n{"input": {}, "error": 3}\n', "log.jsonl:3: its error is not a text"),
    (b'{"input": {"action": {"type": "\xff"}}}\n', "log.jsonl:1: invalid UTF-8"),
    ('{"input": {}, "decision": {"effect": "allow"}, "time": "yesterday"}\n', None),  # time read only when asked
]


@pytest.mark.parametrize("text, line", BAD_LINES)
def test_a_bad_line_is_located_and_ends_the_replay(capsys, folder, text, line):
    Path("log.jsonl").write_bytes(text if isinstance(text, bytes) else text.encode())
    status, out, err = run(capsys, "replay", *DOCUMENTS, "log.jsonl")
    if line is None:
        assert status == 0
        return
    assert (status, out, err) == (2, "", [line])


def test_skip_bad_counts_bad_records_names_the_first_and_goes_on(capsys, folder):
    records = [lines(RECORDS[:1]), "not json\n", lines(RECORDS[1:2]), "[]\n", lines(RECORDS[2:3])]
    Path("log.jsonl").write_text("".join(records))
    status, out, err = run(capsys, "replay", *DOCUMENTS, "--json", "--skip-bad", "log.jsonl")
    found = json.loads(out)
    assert (status, found["records"], found["bad"], found["changed"]) == (1, 3, 2, 2)
    assert err[1:] == ["log.jsonl:2:1: invalid JSON: Expecting value (skipped)",
                       "log.jsonl:4: not a record: not an object (skipped)"]


def test_a_record_past_the_cap_is_bad_but_the_log_is_not(capsys, folder):
    long = {"input": {"action": {"type": "x" * 70000}}, "decision": {"effect": "allow", "matched_rule": None}}
    Path("log.jsonl").write_text(lines([long] + RECORDS[:1] * 3))
    status, out, err = run(capsys, "replay", *DOCUMENTS, "--json", "--skip-bad", "--max-bytes", "64KiB", "log.jsonl")
    assert (json.loads(out)["records"], json.loads(out)["bad"]) == (3, 1)
    assert err == ["log.jsonl:1: a line larger than the limit of 65536 bytes (--max-bytes raises it) (skipped)"]


def test_broken_parquet_files_are_located(capsys, folder):
    refunds = [{"action": {"type": "refund", "amount": 40.0 * number, "currency": "EUR"}} for number in range(50)]
    write_log(folder / "logs", "parquet", refunds, max_records=50)
    (written,) = (folder / "logs").iterdir()
    data = written.read_bytes()
    Path("truncated.parquet").write_bytes(data[: len(data) // 2])
    status, out, err = run(capsys, "replay", *DOCUMENTS, "truncated.parquet")
    assert status == 2 and len(err) == 1 and err[0].startswith("truncated.parquet: not a readable Parquet file: ")
    # A corrupt page: the footer reads, the row group does not.
    middle = len(data) // 3
    Path("corrupt.parquet").write_bytes(data[:middle] + bytes(200) + data[middle + 200:])
    status, out, err = run(capsys, "replay", *DOCUMENTS, "--json", "--skip-bad", "corrupt.parquet")
    assert status in (0, 1) and err[-1].startswith("corrupt.parquet: row group 0: cannot read: ")
    assert json.loads(out)["bad"] == 50 - json.loads(out)["records"]


def test_a_parquet_row_that_is_not_a_record_is_located(capsys, folder):
    table = pa.table({"input": pa.array([{"action": {"type": "refund"}}, None], pa.struct([("action", pa.struct([("type", pa.string())]))])),
                      "decision": pa.array([{"effect": "allow", "matched_rule": None}] * 2,
                                           pa.struct([("effect", pa.string()), ("matched_rule", pa.string())]))})
    parquet.write_table(table, "rows.parquet")
    status, out, err = run(capsys, "replay", *DOCUMENTS, "rows.parquet")
    assert (status, err) == (2, ["rows.parquet: row group 0: row 2: not a record: no input nor any domain"])


@pytest.mark.parametrize("effect, error, message", [
    # As a JSON line would be: an effect that is none of the three, "error" among them.
    ("deny", None, "its decision's effect is none of allow, block, require_approval"),
    ("error", None, "its decision's effect is none of allow, block, require_approval"),
    (None, None, "no decision nor error recorded (--against compares two policies on logs without them)"),
])
def test_a_parquet_row_whose_outcome_does_not_read_is_located(capsys, folder, effect, error, message):
    decision = pa.struct([("effect", pa.string()), ("matched_rule", pa.string())])
    table = pa.table({"input": pa.array([{"action": {"type": "refund"}}] * 2),
                      "decision": pa.array([{"effect": "allow", "matched_rule": None}, {"effect": effect, "matched_rule": None}], decision),
                      "error": pa.array([None, error], pa.string())})
    parquet.write_table(table, "rows.parquet")
    status, out, err = run(capsys, "replay", *DOCUMENTS, "rows.parquet")
    assert (status, err) == (2, [f"rows.parquet: row group 0: row 2: {message}"])


@pytest.mark.parametrize("argv, err", [
    (["missing.jsonl"], "missing.jsonl: cannot read: No such file or directory"),
    (["--threads", "0", "log.jsonl"], "tamsel replay: error: argument --threads: expected a whole number of 1 or more, got '0'"),
    (["--since", "2026-01-01", "log.jsonl"],
     "tamsel replay: error: argument --since: an RFC 3339 time needs its offset (Z for UTC): '2026-01-01'"),
])
def test_what_cannot_be_replayed_says_why(capsys, folder, argv, err):
    Path("log.jsonl").write_text(lines(RECORDS))
    status, _, lines_ = run(capsys, "replay", *DOCUMENTS, *argv)
    assert (status, lines_[-1]) == (2, err)


def test_the_library_raises_located_errors(folder):
    Path("log.jsonl").write_text("[]\n")
    with pytest.raises(ReplayError, match=r"^log.jsonl:1: not a record: not an object$"):
        replay("log.jsonl", new_policy())
    assert replay("log.jsonl", new_policy(), skip_bad=True).bad == 1


# ---- on a Dask cluster ----


# Run in a process of its own: Dask's threads would outlive the test in this one.
ON_A_CLUSTER = """
import contextlib, io, os, signal, sys
import distributed
from tamsel_tools import main
from tamsel_tools.render.replay import json_text
from tamsel_tools.replaying.cluster import on_dask
from tamsel_tools.replaying.fragments import Job, PolicyTexts
from tamsel_tools.replaying.logs import plan
from tamsel_tools.replaying.run import merge_all
from tamsel_tools.replaying.summary import report

logs = sys.argv[1:]
if __name__ == "__main__":
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                                  silence_logs=50) as cluster:
        address = cluster.scheduler_address
        with contextlib.redirect_stdout(io.StringIO()) as out:
            main(["replay", "--schema", "schema.yaml", "--policy", "new.yaml", "--json", "--dask", address, *logs])
        print(out.getvalue(), end="")
        # A worker killed while tasks run: its tasks run again elsewhere, counted once.
        fragments, _ = plan(logs)
        job = Job(PolicyTexts(open("schema.yaml").read(), open("new.yaml").read()), examples=5)
        with distributed.Client(address) as client:
            pids = list(client.run(os.getpid).values())
            partials = on_dask(fragments, job, address, None)
            first = next(partials)
            os.kill(pids[0], signal.SIGKILL)
            merged = merge_all([first, *partials], job, 0)
        print(json_text(report(merged, None)), end="")
"""


def test_a_dask_cluster_gives_the_bytes_of_one_process_even_when_a_worker_is_killed(capsys, logs, folder):
    pytest.importorskip("distributed")
    root, _ = logs
    # Named four times: enough tasks that some are queued or running when the worker dies.
    names = [str(root / "parquet"), str(root / "jsonl")] * 4
    one = run(capsys, "replay", *DOCUMENTS, "--json", *names)[1]
    Path("cluster.py").write_text(ON_A_CLUSTER)
    done = subprocess.run([sys.executable, "cluster.py", *names], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout == one + one


# ---- the decision log ----

# Four threads record numbered decisions until the process is killed; small files, often written.
KILLED_WRITER = """
import sys, threading
import tamsel
from conftest import POLICY, SCHEMA
from tamsel_tools import DecisionLog

engine = tamsel.PyTamsel(SCHEMA, POLICY)
log = DecisionLog(sys.argv[1], engine, sys.argv[2], max_records=37, max_seconds=0.02)

def write(thread):
    for number in range(10**9):
        input = {"action": {"type": "refund", "amount": number % 3000, "currency": "EUR"}}
        log.record(input, decision=engine.evaluate(input), id=f"{thread}-{number}")

for thread in range(4):
    threading.Thread(target=write, args=(thread,), daemon=True).start()
print("writing", flush=True)
threading.Event().wait()
"""


def with_tests_on_path() -> dict:
    """The environment with this folder (for conftest) before what the run already imports from."""
    paths = [str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in paths if path)}


def read_ids(folder, format):
    """The ids of every record in the folder's visible files, each file read whole."""
    ids = []
    for path in sorted(folder.iterdir()):
        if path.name.startswith("."):
            continue
        if format == "parquet":
            ids += parquet.read_table(path).column("id").to_pylist()
        else:
            text = path.read_text()
            assert text.endswith("\n")
            ids += [json.loads(line)["id"] for line in text.splitlines()]
    return ids


@pytest.mark.parametrize("format", ["parquet", "jsonl"])
def test_a_log_killed_at_random_holds_whole_files_and_no_record_twice(tmp_path, format):
    import signal

    script = tmp_path / "writer.py"
    script.write_text(KILLED_WRITER)
    rng = random.Random(format)
    for attempt in range(2):
        folder = tmp_path / f"log{attempt}"
        env = with_tests_on_path()
        child = subprocess.Popen([sys.executable, str(script), str(folder), format], stdout=subprocess.PIPE, env=env)
        assert child.stdout.readline() == b"writing\n"
        time.sleep(rng.uniform(0.2, 0.6))
        child.send_signal(signal.SIGKILL)
        child.wait()
        ids = read_ids(folder, format)
        assert len(ids) == len(set(ids)) > 0
        # Each thread's records in order, none missing before the last one kept.
        by_thread = {}
        for id in ids:
            thread, number = id.split("-")
            by_thread.setdefault(thread, []).append(int(number))
        assert all(numbers == list(range(len(numbers))) for numbers in by_thread.values())


def test_a_write_failure_is_raised_by_the_call_and_earlier_files_stay_whole(tmp_path):
    folder = tmp_path / "log"
    log = DecisionLog(folder, OLD, "jsonl", max_records=2, max_seconds=60)
    input = {"action": {"type": "refund", "amount": 5}}
    for _ in range(2):
        log.evaluate(input)
    (written,) = folder.iterdir()
    kept = tmp_path / written.name
    written.rename(kept)
    folder.rmdir()  # the folder removed under the log
    log.evaluate(input)
    with pytest.raises(DecisionLogError, match=r"/log/decisions-[^/]*\.jsonl: cannot write 2 records: No such file or directory$"):
        log.evaluate(input)
    assert [json.loads(line)["decision"]["effect"] for line in kept.read_text().splitlines()] == ["allow", "allow"]
    log.close()
    with pytest.raises(DecisionLogError, match="the decision log is closed"):
        log.evaluate(input)


def test_records_left_open_are_written_at_exit_and_old_buffers_by_time(tmp_path):
    code = (
        "import sys, tamsel; from conftest import POLICY, SCHEMA; from tamsel_tools import DecisionLog\n"
        "engine = tamsel.PyTamsel(SCHEMA, POLICY)\n"
        "log = DecisionLog(sys.argv[1], engine, 'parquet')\n"
        "for amount in (5, 5000, 'x', None): log.record({'action': {'type': 'refund', 'amount': amount}}, "
        "decision={'effect': 'allow', 'matched_rule': None})\n"
    )
    env = with_tests_on_path()
    subprocess.run([sys.executable, "-c", code, str(tmp_path / "exit")], check=True, env=env, timeout=60)
    tables = [parquet.read_table(path) for path in sorted((tmp_path / "exit").iterdir())]
    # A number, then a text and a refused value: three kinds of amount, three files.
    assert [table.num_rows for table in tables] == [2, 1, 1]
    assert [str(table.schema.field("input").type.field("action").type.field("amount").type) for table in tables] == [
        "double", "string", "struct<refused: string>"]
    with DecisionLog(tmp_path / "timed", OLD, "jsonl", max_seconds=0.05) as log:
        log.evaluate({})
        deadline = time.monotonic() + 10
        while not list((tmp_path / "timed").iterdir()) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(list((tmp_path / "timed").iterdir())) == 1


def test_records_hold_what_the_schema_of_records_says(tmp_path):
    jsonschema = pytest.importorskip("jsonschema")
    schema = json.loads((Path(__file__).resolve().parents[2] / "schemas" / "decision-record.json").read_text())
    validator = jsonschema.Draft202012Validator(schema)
    write_log(tmp_path, "jsonl", generated(200))
    records = [json.loads(line) for path in tmp_path.iterdir() for line in path.read_text().splitlines()]
    assert len(records) == 200
    for record in records:
        validator.validate(record)
    for wrong in ({"input": {}}, {"time": "x", "input": {}, "error": "e"}, {"input": {"action": {"amount": [1]}}, "error": "e"},
                  {"input": {}, "decision": {"effect": "deny", "matched_rule": None}}):
        assert not validator.is_valid(wrong), wrong


def test_batches_read_by_another_engine_merge_to_the_replay_of_their_files(logs):
    from tamsel_tools import replay_batch

    root, _ = logs
    job = Job(PolicyTexts(SCHEMA, NEW_POLICY), examples=5)
    merged = PartialSummary()
    for file, path in enumerate(sorted((root / "parquet").iterdir())):
        start = 0  # where the batch starts in its file, as the engine counts it
        for batch in parquet.read_table(path).to_batches(max_chunksize=7):
            merged.merge(replay_batch(batch, job, str(path), start, 0, file), job.examples)
            start += batch.num_rows
    assert dumps(report(merged, None).to_json()) == dumps(replay(root / "parquet", new_policy()).to_json())


def test_a_batch_whose_effects_are_a_dictionary_reads_a_null_value_as_no_effect():
    from tamsel_tools import replay_batch

    effects = pa.DictionaryArray.from_arrays(pa.array([0, 1, 2], pa.int32()), pa.array(["allow", None, "deny"]))
    decision = pa.StructArray.from_arrays([effects, pa.nulls(3, pa.string())], ["effect", "matched_rule"])
    inputs = pa.array([{"action": {"type": "refund"}}] * 3)
    batch = pa.RecordBatch.from_arrays([inputs, decision], ["input", "decision"])
    partial = replay_batch(batch, Job(PolicyTexts(SCHEMA, NEW_POLICY), skip_bad=True), "batch")
    assert (partial.records, [bad.message for bad in partial.bad_records]) == (1, [
        "row 2: no decision nor error recorded (--against compares two policies on logs without them)",
        "row 3: its decision's effect is none of allow, block, require_approval"])


def records_table(records):
    """Records as a Parquet table has them: times as timestamps, special numbers as floats."""
    from tamsel_tools.base.strict_json import decode
    from tamsel_tools.replaying.fragments import record_input
    from tamsel_tools.replaying.record import parse_time

    return pa.table({
        "time": pa.array([parse_time(r["time"]) for r in records], pa.timestamp("us", tz="UTC")),
        "policy_hash": [r["policy_hash"] for r in records],
        "input": pa.array([decode(record_input(r)) for r in records]),
        "decision": pa.array([r.get("decision") for r in records], pa.struct([("effect", pa.string()), ("matched_rule", pa.string())])),
        "error": pa.array([r.get("error") for r in records], pa.string()),
    })


def relaid(array, layout):
    """A struct array whose string children are in another Arrow layout."""
    if pa.types.is_struct(array.type):
        children = [relaid(array.field(i), layout) for i in range(array.type.num_fields)]
        return pa.StructArray.from_arrays(children, [f.name for f in array.type], mask=pa.compute.invert(array.is_valid()))
    if pa.types.is_string(array.type):
        return array.dictionary_encode() if layout == "dictionary" else array.cast(layout)
    return array


@pytest.mark.parametrize("layout", [pa.string(), pa.large_string(), "dictionary"])
def test_parquet_records_in_every_text_layout_and_timestamps_replay_as_json_lines(capsys, folder, layout):
    import pyarrow.compute  # noqa: F401

    records = RECORDS[:3] + RECORDS[4:]  # no refused value: a column has one type
    table = records_table(records)
    table = table.set_column(2, "input", relaid(table.column("input").combine_chunks(), layout))
    parquet.write_table(table, "log.parquet")
    Path("log.jsonl").write_text(lines(records))
    window = ["--since", "2026-01-02T00:00:00Z", "--until", "2026-01-04T23:00:00Z"]
    for extra in ([], window):
        outputs = [json.loads(run(capsys, "replay", *DOCUMENTS, "--json", *extra, name)[1])
                   for name in ("log.jsonl", "log.parquet")]
        for found in outputs:
            found.pop("examples")
        assert outputs[0] == outputs[1]
    assert (outputs[1]["records"], outputs[1]["outside_window"], outputs[1]["changed"]) == (2, 2, 2)


def test_without_pyarrow_a_parquet_log_is_refused_and_json_lines_still_replay(folder):
    Path("log.jsonl").write_text(lines(RECORDS))
    write_log(folder / "parquet", "parquet", generated(3))
    code = ("import sys; sys.modules['pyarrow'] = None; from tamsel_tools import main\n"
            "sys.exit(main(['replay', '--schema', 'schema.yaml', '--policy', 'new.yaml', '--json', sys.argv[1]]))")
    done = [subprocess.run([sys.executable, "-c", code, name], capture_output=True, text=True, timeout=60)
            for name in ("log.jsonl", "parquet")]
    assert (done[0].returncode, json.loads(done[0].stdout)["changed"]) == (1, 3)
    assert (done[1].returncode, done[1].stdout) == (2, "")
    assert done[1].stderr.endswith(".parquet: a Parquet log, which needs pyarrow (tamsel[replay])\n")


def test_inside_a_project_its_documents_are_replayed_and_outside_they_are_needed(capsys, folder):
    Path("log.jsonl").write_text(lines(RECORDS))
    Path("tamsel.toml").write_text('schema = "schema.yaml"\npolicy = "new.yaml"\n')
    status, out, _ = run(capsys, "replay", "--json", "log.jsonl")
    assert (status, json.loads(out)["changed"]) == (1, 3)
    # The project's schema, another policy.
    status, out, _ = run(capsys, "replay", "--policy", "old.yaml", "--json", "log.jsonl")
    assert (status, json.loads(out)["changed"]) == (1, 1)  # line 5's decision was never the old policy's
    Path("tamsel.toml").unlink()
    status, _, err = run(capsys, "replay", "log.jsonl")
    assert status == 2 and "the following arguments are required: --schema, --policy" in err[-1]


@pytest.mark.parametrize("arguments, message", [
    ({}, "give either decision or error"),
    ({"decision": {"effect": "allow", "matched_rule": None}, "error": "x"}, "give either decision or error"),
    ({"decision": {"effect": "deny", "matched_rule": None}}, "a decision's effect is one of allow, block, require_approval, not 'deny'"),
])
def test_a_record_is_a_decision_or_an_error(tmp_path, arguments, message):
    with DecisionLog(tmp_path, OLD, "jsonl") as log:
        with pytest.raises(ValueError, match=f"^{message}$"):
            log.record({}, **arguments)
    assert list(tmp_path.iterdir()) == []


# ---- JSON Lines in columns where the engine reads them exactly, line by line elsewhere ----

# Lines that a reader may take otherwise than `json.loads` does, or not at all; each lands in a block of
# generated records (blocks are 1 KiB under a cap of 64 KiB), which must then be read line by line.
DECIDED = '"decision":{"effect":"allow","matched_rule":null}'
TRICKY_LINES = [
    '{"input":{"action":{"type":"refund","amount":null}},' + DECIDED + '}',  # explicit null: refused
    '{"input":{"action":{"type":"refund"},"actor":null},' + DECIDED + '}',  # a domain null
    '{"input":{"action":{"type":"refund","amount":-0,"currency":"EUR"}},' + DECIDED + '}',  # Python's 0
    '{"input":{"action":{"type":"refund","amount":1500},"actor":{"trust_level":-0,"role":"bot"}},'
    '"decision":{"effect":"require_approval","matched_rule":"x"}}',  # an actor value counted as 0.0
    '{"input":{"action":{"type":"refund","amount":-0.0}},' + DECIDED + '}',
    '{"input":{"action":{"type":"refund","amount":18446744073709553664}},' + DECIDED + '}',  # a tie, to even
    '{"input":{"action":{"type":"refund","amount":' + "9" * 400 + '}},' + DECIDED + '}',  # past the doubles
    '{"input":{"action":{"type":"refund","amount":NaN}},' + DECIDED + '}',
    '{"input":{"action":{"type":"refund","amount":-NaN}},' + DECIDED + '}',  # bad for Python
    '{"input":{"action":{"type":"refund","amount":1500},"actor":{"trust_level":-NaN}},' + DECIDED + '}',
    '{"input":{"action":{"type":"refund","amount":Inf}},' + DECIDED + '}',  # bad for Python
    '{"input":{"action":{"type":"refund","amount":-Infinity}},' + DECIDED + '}',
    '{"input":{"action":{"type":"refund"},"actor":{"role":"2026-01-01"}},' + DECIDED + '}',  # no timestamp
    '{"input":{"action":{"type":"refund","amount":5,"amount":5000}},' + DECIDED + '}',  # the last one wins
    '{"input":{"action":{"type":"refund"}},' + DECIDED + '}{"input":{}}',  # two values on a line
    '{"input":{"action":\n{"type":"refund"}},' + DECIDED + '}',  # one value on two lines
    '{"input":{"action":{"type":"refund","\\u0061mount":5000}},' + DECIDED + '}',
    '{"input":{"action":{"type":"refund"}},' + DECIDED + '}\r',  # CR LF
    '   ',  # a blank line
    '{"input":{"action":{"type":"refund","amount":5}},"policy_hash":null,' + DECIDED + '}',
    '{"input":{"action":{"type":"refund","note":"\xe9\u20ac"}},' + DECIDED + '}',
    '{"input":{"action":{"type":"\\ud800"}},' + DECIDED + '}',  # a lone surrogate: refused
    '{"input":{"action":{"type":"refund","tags":["a",null]}},' + DECIDED + '}',
    '{"input":{"action":{"type":"refund","matched_rule":"r"}},' + DECIDED + '}\n'
    '{"input":{"action":{"type":"refund","matched_rule":null}},' + DECIDED + '}',  # a field named as a null key
    # Two values on a line and one on two lines: as many rows as lines.
    '{"input":{},' + DECIDED + '}{"input":{},' + DECIDED + '}\n{"input":{"action":\n{"type":"refund"}},' + DECIDED + '}',
    '{"action":{"type":"refund","amount":5000},"decision":{"effect":"block","matched_rule":"block_large_refunds"}}',
    '{"input":{"action":{"type":"refund"}},"decision":{"effect":null}}',  # bad
    '{"input":{"action":{"type":"refund","amount":1e400}},' + DECIDED + '}',  # infinity
    '{"input":{"action":{"type":"refund","amount":5}},"policy_hash":5,' + DECIDED + '}',  # bad
    '{"input":{"action":{"type":"refund"},"other":[1,{"x":null}]},"id":{"a":[[]]},' + DECIDED + '}',  # not read
    '{"input":{"action":{"type":"refund"}},"input":{},' + DECIDED + '}',  # the last one wins
    '{"input":{"action":{"type":"refund"}},"actor":{"role":"bot"},' + DECIDED + '}',  # the input's
    '{"input":{"action":{"type":"refund","amount":1E3}},"time":5,' + DECIDED + '}',  # no time to select by
    '{"input":{"action":{"type":"refund"},"actor":{"number":"NaN"}},' + DECIDED + '}',  # a special number
    '{"input":{"action":{"type":"refund"}},"error":5}',  # bad
    '{"input":{"action":{"type":"r\\u0065fund","amount":9007199254740993}},' + DECIDED + '}',
]


def plain_inputs(count):
    """Inputs whose fields keep one kind each, so that Arrow reads their blocks."""
    rng = random.Random(5)
    return [{"action": {"type": "refund", "amount": float(rng.choice([5, 1500, 2500])), "currency": "EUR"},
             "actor": {"trust_level": float(rng.randint(0, 5)), "role": rng.choice(["agent", "bot"])},
             "snapshot": {"min_trust_level": 2.0}} for _ in range(count)]


@pytest.fixture
def tricky_log(tmp_path):
    """Generated records of every kind, then plain ones with a tricky line after every 40."""
    lines_of = []
    for name, inputs in (("mixed", generated(300, seed=3)), ("plain", plain_inputs(1200))):
        write_log(tmp_path / name, "jsonl", inputs, max_records=10**6)
        (written,) = (tmp_path / name).iterdir()
        lines_of.append(written.read_text().splitlines())
    out = list(lines_of[0])
    for index, record in enumerate(lines_of[1]):
        out.append(record)
        if index % 40 == 39:
            out.append(TRICKY_LINES[(index // 40) % len(TRICKY_LINES)])
    path = tmp_path / "log.jsonl"
    path.write_text("\n".join(out) + "\n", encoding="utf-8", errors="surrogatepass")
    return path


@pytest.mark.parametrize("options", [
    {},
    {"since": "2026-01-01T00:00:00Z", "until": "2099-01-01T00:00:00Z"},
    {"against": True},
])
def test_json_lines_in_columns_give_the_bytes_of_reading_every_line(tricky_log, monkeypatch, options):
    from tamsel_tools.replaying import fragments
    from tamsel_tools.replaying import logs as logs_module
    from tamsel_tools.replaying.record import parse_time

    arguments = {"examples": 3, "skip_bad": True, "max_bytes": 64 << 10, "threads": 2}
    if "since" in options:
        arguments["since"], arguments["until"] = parse_time(options["since"]), parse_time(options["until"])
    if options.get("against"):
        arguments["against"] = Policy(SCHEMA, POLICY)
    read = fragments.read_block
    columns = []
    monkeypatch.setattr(logs_module, "FRAGMENT_BYTES", 2 << 10)  # small parts, on both threads
    monkeypatch.setattr(fragments, "read_block", lambda *a: columns.append(read(*a)) or columns[-1])
    fast = dumps(replay(tricky_log, new_policy(), **arguments).to_json())
    assert sum(batch is not None for batch in columns) > 10  # blocks were read in columns
    monkeypatch.setattr(fragments, "read_block", lambda *a: None)
    monkeypatch.setattr(logs_module, "FRAGMENT_BYTES", 1 << 30)
    precise = dumps(replay(tricky_log, new_policy(), **arguments).to_json())
    assert fast == precise
    found = json.loads(fast)
    assert found["records"] >= 1500 and found["bad"] >= 4


def test_a_bad_line_inside_a_block_is_located_as_ever(capsys, folder):
    good = [json.dumps(RECORDS[0]) for _ in range(30)]
    Path("log.jsonl").write_text("\n".join(good[:17] + ['{"input": {}, "decision": {"effect": "allow"}} x'] + good[17:]) + "\n")
    status, out, err = run(capsys, "replay", *DOCUMENTS, "log.jsonl")
    assert (status, err) == (2, ["log.jsonl:18:48: invalid JSON: Extra data"])


PARQUET_PAST_THE_CAP = [
    # (the action of each row, the bad rows' messages)
    ([{"type": "refund"}, {"type": "x" * 70000}, {"type": "refund"}],
     ["row 2: a row larger than the limit of 65536 bytes (--max-bytes raises it)"]),
    ([{"type": "refund", "tags": ["y" * 40000, "z" * 40000]}, {"type": "refund", "tags": ["a"]}],
     ["row 1: a row larger than the limit of 65536 bytes (--max-bytes raises it)"]),
    ([{"type": "refund", "tags": ["a"] * 1100}, {"type": "refund", "tags": ["a"] * 3}],
     ["row 1: more than 1024 values (mappings, lists and scalars), the limit of one record"]),
]


@pytest.mark.parametrize("actions, messages", PARQUET_PAST_THE_CAP)
def test_a_parquet_row_past_the_cap_is_bad_but_the_log_is_not(capsys, folder, actions, messages):
    decision = pa.struct([("effect", pa.string()), ("matched_rule", pa.string())])
    table = pa.table({"input": pa.array([{"action": action} for action in actions]),
                      "decision": pa.array([{"effect": "allow", "matched_rule": None}] * len(actions), decision)})
    parquet.write_table(table, "rows.parquet")
    for layout in ("plain", "dictionary"):
        if layout == "dictionary":
            parquet.write_table(table, "rows.parquet", use_dictionary=True)
        status, out, err = run(capsys, "replay", *DOCUMENTS, "--max-bytes", "64KiB", "rows.parquet")
        assert (status, out, err) == (2, "", [f"rows.parquet: row group 0: {messages[0]}"])
        status, out, err = run(capsys, "replay", *DOCUMENTS, "--max-bytes", "64KiB", "--skip-bad", "--json", "rows.parquet")
        found = json.loads(out)
        assert (found["records"], found["bad"]) == (len(actions) - len(messages), len(messages))
    # Under the default cap, every row is a record.
    status, out, _ = run(capsys, "replay", *DOCUMENTS, "--json", "rows.parquet")
    assert json.loads(out)["records"] == len(actions)
