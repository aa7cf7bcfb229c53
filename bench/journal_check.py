#!/usr/bin/env python3
# Scripted checks of the change journal through the real kestil-folder, talking to its socket:
#   bench/journal_check.py build/kestil-folder [a|b|ab]
#   A. 200 mixed write calls; log lists exactly those; undoing all newest first restores every note.
#   B. 60 kill -9 of the app during writes; every done entry replays to what is on disk.
#   C. bytes per change.
import json, os, random, shutil, signal, socket, sqlite3, subprocess, sys, threading, time


class App:
    """One connection to kestil-folder's socket: the hello, then one reply line per call."""

    def __init__(self, config):
        for _ in range(200):
            try:
                endpoint = json.load(open(config + "/mcp/endpoint.json"))
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(endpoint["socket"])
                break
            except Exception:
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb")
        self.file.write(b'{"bridge_version":"1","catalog_hash":"x","client_name":"check",'
                        b'"client_version":"1"}\n')
        self.file.flush()
        self.file.readline()
        self.id = 0

    def call(self, name, arguments):
        self.id += 1
        request = {"jsonrpc": "2.0", "id": self.id, "method": "tools/call",
                   "params": {"name": name, "arguments": arguments}}
        self.file.write((json.dumps(request) + "\n").encode())
        self.file.flush()
        result = json.loads(self.file.readline())["result"]
        return result["isError"], result["content"][0]["text"]


BIN = sys.argv[1] if len(sys.argv) > 1 else "/work/wt-journal/build/kestil-folder"
BASE = "/tmp/kestil-journal-check"
random.seed(7)


def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def snapshot(root):
    files = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            files[os.path.relpath(p, root)] = open(p, "rb").read()
    return files


def make_space(root, count):
    shutil.rmtree(BASE, ignore_errors=True)
    os.makedirs(root + "/Projects")
    os.makedirs(root + "/Daily")
    for i in range(count):
        folder = "Projects/" if i % 3 == 0 else ""
        body = "".join("Paragraph %d of note %d, with some words.\n\n" % (k, i) for k in range(8))
        head = "---\ntags: [t%d, common]\ndescription: Note %d\n---\n" % (i % 5, i) if i % 2 else ""
        open("%s/%sNote %d.md" % (root, folder, i), "w").write(head + "# Note %d\n\n" % i + body)
    open(root + "/Daily/2026-01-01.md", "w").write("# Day\n\nMorning.\n")


def start(config, root, extra=()):
    proc = subprocess.Popen([BIN, *extra, "--config-dir", config, root], stderr=subprocess.DEVNULL)
    return proc, App(config)


def notes_of(root):
    return sorted(p[:-3] for p in snapshot(root) if p.endswith(".md") and not os.path.basename(p).startswith("."))


def random_call(app, root, serial):
    notes = notes_of(root)
    note = random.choice(notes)
    kind = random.choice(["append_to_note", "append_to_daily_note", "edit_note", "set_tags",
                          "set_note_info", "create_note", "duplicate_note"])
    if kind == "append_to_note":
        args = {"note": note, "markdown": "Added %d." % serial}
    elif kind == "append_to_daily_note":
        args = {"date": "2026-01-0%d" % random.randint(1, 4), "markdown": "Entry %d." % serial}
    elif kind == "edit_note":
        err, text = app.call("read_note", {"note": note})
        read = json.loads(text)
        refs = [line[5:14] for line in read["markdown"].split("\n") if line.startswith("<!-- b")]
        op = random.choice(["replace", "insert_after", "delete", "append"])
        o = {"op": op}
        if op != "append":
            o["ref"] = random.choice(refs)
        if op != "delete":
            o["markdown"] = "Edited %d." % serial
        args = {"note": note, "version": read["version"], "ops": [o]}
    elif kind == "set_tags":
        args = {"note": note, "add": ["x%d" % (serial % 7)], "remove": ["common"]}
    elif kind == "set_note_info":
        args = {"note": note, "description": "Described %d" % serial}
    elif kind == "create_note":
        args = {"title": "Made %d" % serial, "markdown": "Made by call %d." % serial,
                "folder": random.choice(["", "Projects"])}
    else:
        args = {"note": note}
    file = os.path.join(root, note + ".md")
    held = open(file, "rb").read() if kind not in ("create_note", "append_to_daily_note", "duplicate_note") else None
    err, text = app.call(kind, args)
    if held is not None and not err and open(file, "rb").read() == held:
        err, text = True, "no change"  # a call that changed nothing is not a change
    return kind, args, err, text


def part_a():
    root, config = BASE + "/Notes", BASE + "/config"
    make_space(root, 40)
    os.makedirs(config)
    before = snapshot(root)
    proc, app = start(config, root)
    made = []
    serial = 0
    while len(made) < 200:
        serial += 1
        kind, args, err, text = random_call(app, root, serial)
        if err:
            if "delete" in json.dumps(args) or "stale_ref" in text or text == "no change":
                continue  # an op that does not apply (deleting the only block): not a change
            raise SystemExit("call failed: %s %s: %s" % (kind, args, text))
        made.append((kind, json.loads(text)["path"]))
    log = json.loads(subprocess.run([BIN, "log", "--config-dir", config, "--json"],
                                    capture_output=True, check=True).stdout)
    listed = [(e["tool"], e["note"]) for e in reversed(log)]
    print("A: %d calls made, log lists %d, same tools and notes in order: %s"
          % (len(made), len(log), listed == made))
    t = time.perf_counter()
    undo = subprocess.run([BIN, "undo", "--config-dir", config] + [str(e["number"]) for e in log],
                          capture_output=True, text=True)
    took = time.perf_counter() - t
    after = snapshot(root)
    recovered = snapshot(config + "/recovered")
    created = sum(1 for k, _ in made if k in ("create_note", "duplicate_note"))
    print("A: undo of all 200 (app running): exit %d in %.2f s; every note byte for byte as before: %s;"
          " notes in the space now %d (before %d); %d notes moved to recovered (%d made by create or"
          " duplicate, the rest daily notes created)"
          % (undo.returncode, took, after == before, len(after), len(before), len(recovered),
             created))
    if undo.returncode:
        print(undo.stderr)
    log2 = json.loads(subprocess.run([BIN, "log", "--config-dir", config, "--json"],
                                     capture_output=True, check=True).stdout)
    print("A: log now lists %d changes (200 and their 200 undos)" % len(log2))
    db = sqlite3.connect(config + "/journal.sqlite")
    rows, texts = db.execute("select count(*), sum(length(lead)+length(removed)+length(added)+"
                             "length(tail)) from changes where number <= 200").fetchone()
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    size = os.path.getsize(config + "/journal.sqlite")
    print("C: bytes per change: %.0f stored text (spans and context), file %.0f bytes per change"
          " over %d changes (file %d bytes)" % (texts / rows, size / len(log2), len(log2), size))

    # One change in the middle, with later changes elsewhere in the same note.
    note = "Note 5"
    for step in ["First.", "Second.", "Third."]:
        app.call("append_to_note", {"note": note, "markdown": step})
    app.call("set_tags", {"note": note, "add": ["later"]})
    path = root + "/Note 5.md"
    whole = open(path, "rb").read()
    log3 = json.loads(subprocess.run([BIN, "log", "--config-dir", config, "--json", note, "--limit",
                                      "4"], capture_output=True, check=True).stdout)
    middle = log3[2]["number"]  # "Second."
    r = subprocess.run([BIN, "undo", "--config-dir", config, str(middle)], capture_output=True,
                       text=True)
    if r.returncode:
        print(r.stderr, log3)
    ok = open(path, "rb").read() == whole.replace(b"Second.\n\n", b"")
    print("B: undo of the middle one of 3 appends with later changes: exit %d, exactly that taken"
          " back: %s" % (r.returncode, ok))
    text = open(path, "rb").read().replace(b"Third.", b"Third, edited by the person.")
    open(path, "wb").write(text)
    r = subprocess.run([BIN, "undo", "--config-dir", config, str(log3[0]["number"]),
                        str(log3[1]["number"])], capture_output=True, text=True)
    print("B: undo at lines the person changed: exit %d, note unchanged: %s; %s"
          % (r.returncode, open(path, "rb").read() == text, r.stderr.strip()))
    proc.terminate()
    proc.wait()


def replay(config, initial, root):
    db = sqlite3.connect(config + "/journal.sqlite")
    pending = db.execute("select count(*) from changes where done = 0").fetchone()[0]
    state = {k[:-3]: v for k, v in initial.items() if k.endswith(".md")}
    bad = 0
    rows = db.execute("select number, path, existed_before, exists_after, version_before, "
                      "version_after, start, lead, removed, added from changes where done = 1 "
                      "order by number").fetchall()
    for number, path, existed, exists, vb, va, start, lead, removed, added in rows:
        path = path.decode() if isinstance(path, bytes) else path
        now = state.get(path)
        if existed and (now is None or fnv(now) != vb):
            bad += 1
            print("  entry %d: note %s does not hold its version before" % (number, path)) if bad < 5 else None
            continue
        if not existed and now is not None:
            bad += 1
            continue
        now = now or b""
        at = start + len(lead)
        after = now[:at] + added + now[at + len(removed):]
        if not exists:
            state.pop(path, None)
            continue
        if fnv(after) != va:
            bad += 1
        state[path] = after
    disk = {k[:-3]: v for k, v in snapshot(root).items() if k.endswith(".md")}
    lacking = [p for p in set(disk) | set(state) if disk.get(p) != state.get(p)]
    return len(rows), pending, bad, lacking


def part_b(kills):
    root, config = BASE + "/Notes", BASE + "/config"
    make_space(root, 20)
    os.makedirs(config)
    initial = snapshot(root)
    answered = 0
    pending_seen = 0
    for k in range(kills):
        proc = subprocess.Popen([BIN, "--config-dir", config, root], stderr=subprocess.DEVNULL)
        app = App(config)
        stop = threading.Event()

        def writer():
            nonlocal answered
            serial = 1000 * k
            while not stop.is_set():
                serial += 1
                try:
                    kind, args, err, text = random_call(app, root, serial)
                    if not err:
                        answered += 1
                except Exception:
                    return

        t = threading.Thread(target=writer)
        t.start()
        time.sleep(random.uniform(0.05, 0.4))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        stop.set()
        t.join()
        db = sqlite3.connect(config + "/journal.sqlite")
        pending_seen += db.execute("select count(*) from changes where done = 0").fetchone()[0]
        db.close()
    # A last start settles what the last kill left pending.
    proc = subprocess.Popen([BIN, "--config-dir", config, root], stderr=subprocess.DEVNULL)
    App(config).call("list_spaces", {})
    time.sleep(1)
    proc.terminate()
    proc.wait()
    entries, pending, bad, lacking = replay(config, initial, root)
    print("kills: %d kill -9 during writes, %d writes answered, %d pending entries found right"
          " after the kills (settled at the next start); %d done entries, %d pending now, %d that do"
          " not replay, notes on disk that the done entries do not account for: %d %s"
          % (kills, answered, pending_seen, entries, pending, bad, len(lacking), lacking[:5]))


if __name__ == "__main__":
    what = sys.argv[2] if len(sys.argv) > 2 else "ab"
    if "a" in what:
        part_a()
    if "b" in what:
        part_b(60)
