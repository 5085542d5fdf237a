"""Counts the operator CPU-mask changes that a running list() loses.

list() holds its calling thread on one CPU while it reads a series of item files: it reads the
thread's mask, and writes the hold or gives the saved mask back, a few microseconds apart. A
mask that an operator sets in between is overwritten; the kernel offers no way to make the
read and the write one step. This program measures how often that happens.

A child process lists a queue of --items item files again and again. During each call, at a
random moment within it, the parent sets a random mask of two CPUs or more (never all of
them) in one of two ways:

  taskset  on every thread of the child in turn, as `taskset -a -p -c ... <pid>` does;
  cgroup   as the CPUs of a cpuset cgroup that it makes for the child (removed at the end):
           cgroup v2 at /sys/fs/cgroup when it offers the cpuset controller, else the v1
           cpuset hierarchy at /sys/fs/cgroup/cpuset. Needs root.

A trial counts only when the change began after the call started and was complete before it
ended. It is lost when, after the call, the calling thread does not carry the new mask. The
report also counts calls after which the calling thread has the new mask and a runtime thread
only one CPU of it, with the moment of the change and whether the caller was held on one CPU
just before it: a change that lands before the call has begun its series is taken as the
caller's own mask, within which the pool thread is kept on one CPU as after any call; one
that lands while the caller is held must leave the pool thread with the whole mask. For the
cgroup road it counts threads that the kernel let run outside the new CPUs (it never should),
and calling threads that, once the cgroup's CPUs are widened again after the trial, do not
get them all back, with the moment of the change (one that lands before the call has saved
the caller's mask, in its first job, makes the narrowed CPUs the mask the call gives back),
and of them those back on one CPU (never). Between trials every thread gets all CPUs back.

    PYTHONPATH=build/python python3 tools/mask_window.py --trials 1000
    PYTHONPATH=build/python python3 tools/mask_window.py --road cgroup --trials 400

Prints one line per 100 trials and a summary with the load average before and after.
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

CHILD = """
import os, sys, time
from qiv_protocol import EnvelopeQueue
queue = EnvelopeQueue(sys.argv[1])
out = sys.stdout
for line in sys.stdin:
    out.write("start %d\\n" % time.monotonic_ns())
    out.flush()
    count = len(queue.list())
    out.write("end %d %d\\n" % (time.monotonic_ns(), count))
    out.flush()
"""


def item_json(queue_id):
    envelope = {
        "exchange_id": queue_id,
        "peer_self": {"class": "body", "type": "t", "ref": "r"},
        "direction": "outbound",
        "request_hash": "h1",
        "our_signature": "s1",
        "opened_at": "2024-03-05T07:08:09Z",
        "protocol_hint": "tcp",
        "counterparty_identifier": "c1",
    }
    return json.dumps({"queue_id": queue_id, "pair_class": "routing", "envelope": envelope},
                      indent=2)


def thread_ids(pid):
    return [int(tid) for tid in os.listdir("/proc/%d/task" % pid)]


def thread_name(pid, tid):
    try:
        with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
            return f.read().strip()
    except FileNotFoundError:
        return ""


def set_every_thread(pid, cpus):
    for tid in thread_ids(pid):
        try:
            os.sched_setaffinity(tid, cpus)
        except ProcessLookupError:
            pass  # a pool thread that ended meanwhile


def masks(pid):
    """{tid: (name, mask)} of the child's threads."""
    found = {}
    for tid in thread_ids(pid):
        try:
            found[tid] = (thread_name(pid, tid), frozenset(os.sched_getaffinity(tid)))
        except ProcessLookupError:
            pass
    return found


class Cpuset:
    """A cpuset cgroup of its own for the child, on v2 or the v1 hierarchy."""

    def __init__(self, cpus):
        v2 = "/sys/fs/cgroup"
        controllers = os.path.join(v2, "cgroup.controllers")
        if os.path.exists(controllers) and "cpuset" in open(controllers).read().split():
            self.parent, self.v1 = v2, False
        elif os.path.exists("/sys/fs/cgroup/cpuset/cpuset.cpus"):
            self.parent, self.v1 = "/sys/fs/cgroup/cpuset", True
        else:
            sys.exit("no cpuset cgroup hierarchy found")
        self.path = os.path.join(self.parent, "qiv-mask-window-%d" % os.getpid())
        if not self.v1:
            with open(os.path.join(v2, "cgroup.subtree_control"), "w") as f:
                f.write("+cpuset")
        os.mkdir(self.path)
        if self.v1:
            self.write("cpuset.mems", self.read_parent("cpuset.mems"))
        self.set_cpus(cpus)

    def read_parent(self, name):
        with open(os.path.join(self.parent, name)) as f:
            return f.read().strip()

    def write(self, name, text):
        with open(os.path.join(self.path, name), "w") as f:
            f.write(text)

    def set_cpus(self, cpus):
        self.write("cpuset.cpus", ",".join(map(str, sorted(cpus))))

    def add(self, pid):
        self.write("cgroup.procs", str(pid))

    def remove(self):
        for _ in range(100):  # the child's threads leave the cgroup as it is reaped
            try:
                os.rmdir(self.path)
                return
            except OSError:
                time.sleep(0.05)
        print("could not remove %s" % self.path, file=sys.stderr)


def random_mask(rng, cpus):
    size = rng.randint(2, len(cpus) - 1)
    return frozenset(rng.sample(sorted(cpus), size))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trials", type=int, default=1000)
    parser.add_argument("--items", type=int, default=5000)
    parser.add_argument("--road", choices=("taskset", "cgroup"), default="taskset")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()

    cpus = frozenset(os.sched_getaffinity(0))
    if len(cpus) < 3:
        sys.exit("needs three CPUs for a mask of two that is not all of them")
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    queue_dir = tempfile.mkdtemp(prefix="qiv-mask-window-")
    for i in range(args.items):
        with open(os.path.join(queue_dir, "i%06d.json" % i), "w") as f:
            f.write(item_json("i%06d" % i))

    load_before = os.getloadavg()
    counts = dict(trials=0, void=0, lost=0, pool_on_part=0, pool_while_held=0, outside=0,
                  stuck=0, one_cpu=0)
    cpuset = child = None

    def report_line():
        line = child.stdout.readline()
        if not line:
            sys.exit("the listing child ended (status %s)" % child.wait())
        return line.split()

    def call(change=None, delay=0.0):
        """One list() in the child; `change()` runs `delay` seconds after it starts."""
        child.stdin.write("go\n")
        child.stdin.flush()
        started = int(report_line()[1])
        began = ended = held = None
        if change is not None:
            time.sleep(delay)
            held = len(os.sched_getaffinity(child.pid)) == 1
            began = time.monotonic_ns()
            change()
            ended = time.monotonic_ns()
        words = report_line()
        if int(words[2]) != args.items:
            sys.exit("list() returned %s items, not %d" % (words[2], args.items))
        return started, int(words[1]), began, ended, held

    try:
        if args.road == "cgroup":
            cpuset = Cpuset(cpus)
        child = subprocess.Popen([sys.executable, "-c", CHILD, queue_dir],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                 bufsize=1)
        if cpuset:
            cpuset.add(child.pid)
        durations = []
        for _ in range(5):  # builds the runtime, warms the page cache
            started, finished, _, _, _ = call()
            durations.append((finished - started) / 1e9)
        duration = sorted(durations)[len(durations) // 2]
        while counts["trials"] < args.trials:
            mask = random_mask(rng, cpus)
            if cpuset:
                change = lambda: cpuset.set_cpus(mask)
            else:
                change = lambda: set_every_thread(child.pid, mask)
            started, finished, began, ended, held = call(change,
                                                         rng.uniform(0, duration * 0.9))
            valid = started < began and ended < finished
            if not valid:
                counts["void"] += 1
            else:
                counts["trials"] += 1
                after = masks(child.pid)
                caller = after[child.pid][1]
                runtime = [m for tid, (_, m) in after.items() if tid != child.pid]
                kind = None
                if caller != mask:
                    kind = "lost"
                elif not cpuset and any(m != mask for m in runtime):
                    kind = "pool_on_part"
                if kind:
                    counts[kind] += 1
                    if kind == "pool_on_part" and held:
                        counts["pool_while_held"] += 1
                    others = sorted({tuple(sorted(m)) for m in runtime if m != mask})
                    print("  %s: set %s at %.2f of %.2f ms, caller %s before; after: caller %s, "
                          "other masks %s" %
                          (kind, sorted(mask), (began - started) / 1e6,
                           (finished - started) / 1e6, "held" if held else "not held",
                           sorted(caller), others), flush=True)
                if cpuset:
                    counts["outside"] += sum(1 for m in [caller] + runtime if not m <= mask)
            if cpuset:
                cpuset.set_cpus(cpus)
                widened = frozenset(os.sched_getaffinity(child.pid))
                if valid and widened != cpus:
                    counts["stuck"] += 1
                    counts["one_cpu"] += len(widened) == 1
                    print("  stuck: set %s at %.2f of %.2f ms, caller %s before; widened: "
                          "caller %s" %
                          (sorted(mask), (began - started) / 1e6, (finished - started) / 1e6,
                           "held" if held else "not held", sorted(widened)), flush=True)
            set_every_thread(child.pid, cpus)
            if valid and counts["trials"] % 100 == 0:
                print("%d trials: %s" % (counts["trials"], counts), flush=True)
    finally:
        if child:
            child.stdin.close()
            child.wait()
        if cpuset:
            cpuset.remove()
        shutil.rmtree(queue_dir)

    print("road %s, %d items, seed %d, list() median %.1f ms" %
          (args.road, args.items, seed, duration * 1e3))
    print("lost %d of %d on the calling thread; %d trials void (the change did not fall inside "
          "the call)" % (counts["lost"], counts["trials"], counts["void"]))
    if not cpuset:
        print("kept by the calling thread but not by every runtime thread: %d (%d of them set "
              "while the caller was held)" % (counts["pool_on_part"], counts["pool_while_held"]))
    if cpuset:
        print("threads outside the new CPUs: %d; calling threads not widened again: %d, of "
              "them back on one CPU: %d" % (counts["outside"], counts["stuck"], counts["one_cpu"]))
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" %
          (load_before + os.getloadavg()))


if __name__ == "__main__":
    main()
