#!/usr/bin/env python3
"""A busy proxy for the connection table that shares no code with the
table library: it lays out, allocates, hashes, locks and marks the table by
itself, so that a fault the library and tw_loadgen have in common shows as
a difference between the two writers.  Same traffic, log and summary as
tw_loadgen; see bench/README.md.

Each connection is started (user c<seq>), updated (destination 192.0.2.1,
port 80, connect, application "web") and, K starts later, ended: the end,
then one last update to port 9 with application "end".  The log names each
ended connection and the CLOCK_REALTIME time (ns) its end was written:
c<seq> <ns>
"""
import ctypes
import errno
import getopt
import mmap
import os
import signal
import socket
import struct
import sys
import time
from collections import deque
from itertools import compress

PROG = "rawwriter"

# The table's file, its two lock names and its layout.
TABLE_PATH = "/tmp/mon.mmap"
FREE_MUTEX, HASH_MUTEX = "mon.free.mutex", "mon.hash.mutex"
BASE_SIZE = 31744            # the default region: 31 blocks of 1024
MAX_SIZE = 64 << 20          # the largest region readers take
BLOCK = 1024
INIT_CONNS = 36              # hash capacity asked for in a default table
NPROC, ALARM_READER = 10, 5
ANCHOR, ARENA = 72, 80       # free-list anchor; first arena block
UNIT, MAX_UNITS = 8, 65535   # a block's nUnits is 16 bits
REC_SIZE = 752
REC_UNITS = (REC_SIZE + 7) // 8 + 1
SHIFTS = (0, 24, 3, 21, 5, 19, 7, 17)
ONE_BELOW = (1).__lt__       # a slot value above 1 is a record

# Word indexes (4 bytes) into the header.
H_SIZE, H_NMAX, H_NCUR, H_NDEL, H_PID, H_CONN, H_FREE = 1, 2, 3, 4, 5, 15, 16

# Word indexes into a record, counted from its first word.
R_KEY0, R_KEY1, R_STATE, R_START, R_CUR, R_END = 0, 1, 2, 3, 4, 5
R_ALARMKEY, R_IN, R_OUT = 7, 8, 9
# Byte offsets of the record's other fields: (offset, length).
F_SRC, F_DST = (44, 16), (76, 16)
F_CMD = 93
F_USER, F_APP, F_SRCHOST, F_DSTHOST = (94, 128), (222, 16), (238, 128), (494, 128)

ACTIVE = 0x80000000
CHG_UPDATE, CHG_START = 1, 4
R5_MASK = 7 << 3 * (ALARM_READER - 1)

# System V semaphores.
IPC_CREAT, IPC_NOWAIT, IPC_RMID, SEM_UNDO = 0o1000, 0o4000, 0, 0x1000

libc = ctypes.CDLL(None, use_errno=True)
libc.ftok.argtypes = (ctypes.c_char_p, ctypes.c_int)
libc.semget.argtypes = (ctypes.c_int, ctypes.c_int, ctypes.c_int)


class Sembuf(ctypes.Structure):
    _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short),
                ("sem_flg", ctypes.c_short)]


libc.semop.argtypes = (ctypes.c_int, ctypes.POINTER(Sembuf), ctypes.c_size_t)


def warn(msg):
    sys.stderr.write("%s: %s\n" % (PROG, msg))


class Reports:
    """Repeated reports are cut after three of a kind and counted."""

    def __init__(self):
        self.seen = {}

    def __call__(self, kind, msg):
        n = self.seen[kind] = self.seen.get(kind, 0) + 1
        if n <= 3:
            warn(msg)

    def summary(self):
        for kind, n in self.seen.items():
            if n > 3:
                warn("%s: %d reports in all" % (kind, n))


report = Reports()


class Mutex:
    """A named lock: one semaphore whose key comes from a file in /tmp.
    Held = 1; both operations carry SEM_UNDO so that a dead holder's lock is
    given back by the kernel."""

    def __init__(self, name):
        self.path = "/tmp/" + name
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o666)
        try:
            key = libc.ftok(self.path.encode(), ord("V"))
            if key == -1:
                raise OSError(ctypes.get_errno(), "ftok(%s) failed" % self.path)
            self.id = libc.semget(key, 1, IPC_CREAT | 0o666)
            if self.id == -1:
                raise OSError(ctypes.get_errno(), "semget(0x%x) failed" % key)
            os.write(fd, b"%d" % self.id)
        finally:
            os.close(fd)
        self._req = (Sembuf * 2)(Sembuf(0, 0, 0), Sembuf(0, 1, SEM_UNDO))
        self._rel = (Sembuf * 1)(Sembuf(0, -1, IPC_NOWAIT | SEM_UNDO))

    def _op(self, ops, n, what):
        # A wait cut short by a signal is taken up again: nothing is
        # written without the lock.
        while libc.semop(self.id, ops, n) == -1:
            e = ctypes.get_errno()
            if e != errno.EINTR:
                report(what, "%s %s failed: %s" % (what, self.path, os.strerror(e)))
                return

    def request(self):
        self._op(self._req, 2, "lock")

    def release(self):
        self._op(self._rel, 1, "unlock")

    def remove(self):
        libc.semctl(self.id, 0, IPC_RMID)
        try:
            os.unlink(self.path)
        except OSError:
            pass


def prime(n):
    """The smallest odd prime >= max(n, 5)."""
    c = 5 if n <= 4 else n + (n % 2 == 0)
    while True:
        d = 3
        while d <= c // d and c % d:
            d += 2
        if d > c // d:
            return c
        c += 2


def limit(slots):
    """The load bound of a hash array: with more records it must grow."""
    return (3 * slots // 2) // 2


def arena_blocks(size):
    """The arena's free blocks, in units: as many of the largest size as
    fit, then the rest."""
    units = (size - 84) // UNIT
    blocks = [MAX_UNITS] * (units // MAX_UNITS)
    return blocks + [units % MAX_UNITS] if units % MAX_UNITS else blocks


def records_beside(size, slots):
    """Records the arena of a region of size holds beside a hash array of
    slots, which is carved from the first block."""
    blocks = arena_blocks(size)
    blocks[0] -= (4 * slots + 7) // 8 + 1
    return -1 if blocks[0] < 0 else sum(b // REC_UNITS for b in blocks)


def room(size, slots):
    """Records a new table holds before the writer must make room."""
    if size == BASE_SIZE:
        return min(limit(slots) + 1, records_beside(size, slots))
    return records_beside(size, slots)


def table_for(sessions):
    """The smallest region (and its first hash array) that holds sessions
    records; in a larger table the array is so large that the arena fills
    before it must grow."""
    if sessions <= room(BASE_SIZE, prime(INIT_CONNS)):
        return BASE_SIZE, prime(INIT_CONNS)
    size = max(BASE_SIZE + BLOCK, (ARENA + UNIT * REC_UNITS * sessions) // BLOCK * BLOCK)
    slots = prime(INIT_CONNS)
    while True:
        while limit(slots) < records_beside(size, slots):
            slots = prime(slots + 1)
        held = records_beside(size, slots)
        if held < 0 or size > MAX_SIZE:
            raise ValueError("no table can hold %d connections" % sessions)
        if held >= sessions:
            return size, slots
        size += BLOCK


class Table:
    """The connection table as its creator and only writer (participant 0)."""

    def __init__(self, size, slots):
        self.fd = os.open(TABLE_PATH, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o666)
        zeros = bytes(BLOCK)
        for _ in range(size // BLOCK + 1):
            if os.write(self.fd, zeros) != BLOCK:
                raise OSError(errno.EIO, "short write to " + TABLE_PATH)
        self.mm = mmap.mmap(self.fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
        self.u32 = memoryview(self.mm).cast("I")
        self.u16 = memoryview(self.mm).cast("H")
        self.size = size
        self.free_mutex = Mutex(FREE_MUTEX)
        self.hash_mutex = Mutex(HASH_MUTEX)
        self.pid = os.getpid()
        self.key0 = self.pid
        b = struct.pack("=I", self.pid)
        self.hash0 = b[0] << SHIFTS[0] ^ b[1] << SHIFTS[1] ^ b[2] << SHIFTS[2] ^ b[3] << SHIFTS[3]
        self.tot_start = 0
        addr = ctypes.c_char.from_buffer(self.mm)
        self.u32[0] = ctypes.addressof(addr) & 0xFFFFFFFF
        del addr
        self.u32[H_SIZE] = size
        self.u32[H_PID:H_PID + NPROC] = memoryview(bytes(4 * NPROC)).cast("I")
        self.lay_out_arena()
        self.create_hash(slots)
        self.u32[H_PID] = self.pid

    def close(self):
        self.u32[H_PID] = 0
        self.free_mutex.remove()
        self.hash_mutex.remove()
        self.u32.release()
        self.u16.release()
        self.mm.close()
        os.close(self.fd)
        os.unlink(TABLE_PATH)

    # --- blocks: header = off (next free block), nUnits -------------------

    def units(self, b):
        return self.u16[(b + 4) >> 1]

    def set_units(self, b, n):
        self.u16[(b + 4) >> 1] = n

    def lay_out_arena(self):
        self.u32[ANCHOR >> 2] = self.u32[H_FREE] = ANCHOR
        self.set_units(ANCHOR, 0)
        b = ARENA
        for n in arena_blocks(self.size):
            self.set_units(b, n)
            self.free(b + UNIT)
            b += n * UNIT
        self.u32[H_FREE] = ANCHOR  # the first allocation starts at the first block

    def alloc(self, nbytes):
        """First fit from the rover; a larger block gives its end part.
        Returns the memory's offset, or 0."""
        want = (nbytes + 7) // 8 + 1
        u32 = self.u32
        self.free_mutex.request()
        try:
            start = prev = u32[H_FREE]
            p = u32[prev >> 2]
            for _ in range(self.size // UNIT):
                n = self.units(p)
                if n >= want:
                    if n == want:
                        u32[prev >> 2] = u32[p >> 2]
                    else:
                        self.set_units(p, n - want)
                        p += (n - want) * UNIT
                        self.set_units(p, want)
                    u32[H_FREE] = prev
                    return p + UNIT
                if p == start:
                    break
                prev, p = p, u32[p >> 2]
            else:
                report("free list", "free list does not come back to its start")
            return 0
        finally:
            self.free_mutex.release()

    def free(self, ptr):
        """Links a block back into the address-ordered list, merging it with
        a neighbour only while the merged block stays within 65535 units."""
        if ptr < ARENA or ptr > self.size - 4:
            report("free", "free of bad offset %d" % ptr)
            return
        u32, b = self.u32, ptr - UNIT
        self.free_mutex.request()
        try:
            p = u32[H_FREE]
            for _ in range(self.size // UNIT):
                nxt = u32[p >> 2]
                if p < b < nxt or (p >= nxt and (b > p or b < nxt)):
                    break
                p = nxt
            else:
                report("free list", "no place in the free list for offset %d" % b)
                return
            nxt, n = u32[p >> 2], self.units(b)
            if b + n * UNIT == nxt and n + self.units(nxt) <= MAX_UNITS:
                self.set_units(b, n + self.units(nxt))
                u32[b >> 2] = u32[nxt >> 2]
            else:
                u32[b >> 2] = nxt
            pn = self.units(p)
            if p + pn * UNIT == b and pn + self.units(b) <= MAX_UNITS:
                self.set_units(p, pn + self.units(b))
                u32[p >> 2] = u32[b >> 2]
            else:
                u32[p >> 2] = b
            u32[H_FREE] = p
        finally:
            self.free_mutex.release()

    # --- hash index (callers hold the hash mutex) ---------------------------

    def hash(self, seq):
        b = seq.to_bytes(4, sys.byteorder)
        return (self.hash0 ^ b[0] << SHIFTS[4] ^ b[1] << SHIFTS[5] ^
                b[2] << SHIFTS[6] ^ b[3] << SHIFTS[7])

    def check_rec(self, rec):
        if rec % 8 or rec < ARENA + UNIT or rec + REC_SIZE > self.size:
            raise RuntimeError("hash slot holds bad offset %d" % rec)

    def index(self, key0, key1, h):
        """Slot of the key, or the empty slot where it belongs; -1 when there
        is no empty slot.  h is the key's hash."""
        u32 = self.u32
        n, base = u32[H_NMAX], u32[H_CONN] >> 2
        slot = h % n
        for i in range(n + 1):
            rec = u32[base + slot]
            if rec == 0:
                return slot
            if rec != 1:
                self.check_rec(rec)
                r = rec >> 2
                if u32[r] == key0 and u32[r + 1] == key1:
                    return slot
            slot = h % (n - 4) if i == 0 else (slot + 1) % n
        return -1

    def slot_ptr(self, seq):
        """The slot's word index and record offset (0: none) of our key seq."""
        s = self.index(self.key0, seq, self.hash(seq))
        if s < 0:
            return 0, 0
        w = (self.u32[H_CONN] >> 2) + s
        return w, self.u32[w]

    def create_hash(self, wanted):
        n = prime(wanted)
        off = self.alloc(4 * n)
        if not off:
            raise OSError(errno.ENOMEM, "no room for a hash array of %d slots" % n)
        self.hash_mutex.request()
        self.mm[off:off + 4 * n] = bytes(4 * n)
        self.u32[H_CONN], self.u32[H_NMAX] = off, n
        self.u32[H_NCUR] = self.u32[H_NDEL] = 0
        self.hash_mutex.release()

    def records(self):
        """(slot word, record offset) of every record."""
        base, n = self.u32[H_CONN] >> 2, self.u32[H_NMAX]
        slots = self.u32[base:base + n].tolist()
        return [(base + i, slots[i]) for i in compress(range(n), map(ONE_BELOW, slots))]

    def key_hash(self, rec):
        b = self.mm[rec:rec + 8]
        return (b[0] << SHIFTS[0] ^ b[1] << SHIFTS[1] ^ b[2] << SHIFTS[2] ^ b[3] << SHIFTS[3] ^
                b[4] << SHIFTS[4] ^ b[5] << SHIFTS[5] ^ b[6] << SHIFTS[6] ^ b[7] << SHIFTS[7])

    def place(self, recs):
        """Puts recs into the (empty) array at the header's connOff."""
        u32 = self.u32
        base = u32[H_CONN] >> 2
        for rec in recs:
            self.check_rec(rec)
            s = self.index(u32[rec >> 2], u32[(rec >> 2) + 1], self.key_hash(rec))
            if s < 0:
                raise RuntimeError("hash array of %d slots cannot hold %d records"
                                   % (u32[H_NMAX], len(recs)))
            u32[base + s] = rec
        u32[H_NCUR], u32[H_NDEL] = len(recs), 0

    def rebuild(self):
        """Same size, in place: the deleted markers go."""
        self.hash_mutex.request()
        try:
            recs = [r for _, r in self.records()]
            off, n = self.u32[H_CONN], self.u32[H_NMAX]
            self.mm[off:off + 4 * n] = bytes(4 * n)
            self.place(recs)
        finally:
            self.hash_mutex.release()

    def grow(self):
        n = prime(3 * self.u32[H_NMAX] // 2)
        off = self.alloc(4 * n)
        if not off:
            report("grow", "failed to resize hash table, conns=%d" % n)
            self.rebuild()
            return
        self.mm[off:off + 4 * n] = bytes(4 * n)
        self.hash_mutex.request()
        try:
            recs = [r for _, r in self.records()]
            old = self.u32[H_CONN]
            self.u32[H_CONN], self.u32[H_NMAX] = off, n
            self.place(recs)
        finally:
            self.hash_mutex.release()
        self.free(old)

    # --- writer operations --------------------------------------------------

    def readers(self):
        return self.u32[H_PID + 1:H_PID + NPROC].tolist()  # readers 1..9

    def marks(self, pids, event):
        """Marks of event for readers 1-4, as bits of connState."""
        bits = 0
        for p in range(4):
            if pids[p]:
                bits |= event << 3 * p
        return bits

    def mark_start(self, r):
        pids = self.readers()
        bits = self.marks(pids, CHG_START)
        r5 = pids[ALARM_READER - 1]
        if r5:
            try:
                os.kill(r5, 0)
            except ProcessLookupError:
                self.u32[H_PID + ALARM_READER] = r5 = 0
            except OSError:
                pass
        if r5:
            bits |= CHG_START << 3 * (ALARM_READER - 1)
            self.u32[r + R_ALARMKEY] = self.tot_start
        self.u32[r + R_STATE] |= ACTIVE | bits

    def mark_change(self, r, event, clear=0):
        """Marks an update, or with clear = ACTIVE an end."""
        pids = self.readers()
        bits = self.marks(pids, event)
        s = self.u32[r + R_STATE] & ~clear
        if pids[ALARM_READER - 1]:
            s |= bits | event << 3 * (ALARM_READER - 1)
        else:
            s = (s | bits) & ~R5_MASK
        self.u32[r + R_STATE] = s

    def load_policy(self):
        n, cur, dels = self.u32[H_NMAX], self.u32[H_NCUR], self.u32[H_NDEL]
        if cur > limit(n):
            self.cleanup(True)
            self.grow()
        elif cur + dels > limit(n):
            self.rebuild()

    def create_locked(self, seq):
        """The record of key seq, zeroed, new or reset; 0 when there is no
        room.  The hash mutex is held, and let go for a full cleanup."""
        w, rec = self.slot_ptr(seq)
        new = rec == 0
        if new and w:
            rec = self.alloc(REC_SIZE)
            if not rec:
                self.hash_mutex.release()
                self.cleanup(True)
                self.hash_mutex.request()
                w, rec = self.slot_ptr(seq)
                new = rec == 0
                if new and w:
                    rec = self.alloc(REC_SIZE)
        if not w:
            report("full", "hash table full, key=<%d,%d>" % (self.key0, seq))
            return 0
        if not rec:
            report("alloc", "allocate failed, key=<%d,%d>" % (self.key0, seq))
            return 0
        self.mm[rec:rec + REC_SIZE] = ZERO_REC
        r = rec >> 2
        self.u32[r + R_KEY0], self.u32[r + R_KEY1] = self.key0, seq
        self.u32[w] = rec
        if new:
            self.u32[H_NCUR] += 1
        return rec

    # The field writes and marks of every operation are made under the hash
    # mutex with its look-up, so a reader that takes the record under the
    # same mutex never sees half a change, nor clears a mark it did not see.

    def start(self, seq, now, user, src, srchost):
        self.load_policy()
        self.hash_mutex.request()
        try:
            rec = self.create_locked(seq)
            if not rec:
                return -1
            r = rec >> 2
            self.u32[r + R_START] = now
            put(self.mm, rec, F_USER, user)
            self.mm[rec + F_SRC[0]:rec + F_SRC[0] + 16] = src
            put(self.mm, rec, F_SRCHOST, srchost)
            self.mark_start(r)
        finally:
            self.hash_mutex.release()
        self.tot_start += 1
        if self.tot_start % 10 == 0:
            self.cleanup(False)
        return 0

    def update(self, seq, now, nin, nout, cmd, app, dst, dsthost):
        self.hash_mutex.request()
        try:
            _, rec = self.slot_ptr(seq)
            if not rec:
                return -1
            r = rec >> 2
            self.u32[r + R_CUR], self.u32[r + R_IN], self.u32[r + R_OUT] = now, nin, nout
            self.mm[rec + F_CMD] = cmd
            put(self.mm, rec, F_APP, app)
            self.mm[rec + F_DST[0]:rec + F_DST[0] + 16] = dst
            put(self.mm, rec, F_DSTHOST, dsthost)
            self.mark_change(r, CHG_UPDATE)
            return 0
        finally:
            self.hash_mutex.release()

    def end(self, seq, now):
        self.hash_mutex.request()
        try:
            _, rec = self.slot_ptr(seq)
            if not rec:
                return -1
            self.end_locked(rec >> 2, now)
            return 0
        finally:
            self.hash_mutex.release()

    def end_locked(self, r, now):
        self.u32[r + R_END] = now
        self.mark_change(r, CHG_UPDATE, ACTIVE)

    def delete_locked(self, w, rec):
        self.u32[w] = 1
        self.free(rec)
        self.u32[H_NCUR] -= 1
        self.u32[H_NDEL] += 1

    def cleanup(self, everything):
        """Ends the connections of processes gone, and deletes the ended ones
        every reader has taken; with everything, all ended ones, after
        interrupting readers 1-4 that have not taken them."""
        now = int(time.time())
        alive = {}
        u32 = self.u32
        self.hash_mutex.request()
        try:
            last = self.size - REC_SIZE
            for w, rec in self.records():
                if rec & 7 or not ARENA < rec <= last:
                    self.check_rec(rec)
                r = rec >> 2
                state = u32[r + R_STATE]
                if state & ACTIVE:
                    pid = u32[r + R_KEY0]
                    if not pid or pid == self.pid:
                        continue
                    up = alive.get(pid)
                    if up is None:
                        up = alive[pid] = process_alive(pid)
                    if up:
                        continue
                    self.end_locked(r, now)
                    state = u32[r + R_STATE]
                if everything:
                    pids = self.readers()
                    for p in range(4):
                        if pids[p] and state >> 3 * p & 7:
                            try:
                                os.kill(pids[p], signal.SIGINT)
                            except OSError:
                                pass
                    u32[r + R_STATE] = 0
                if u32[r + R_STATE] == 0:
                    self.delete_locked(w, rec)
        finally:
            self.hash_mutex.release()


ZERO_REC = bytes(REC_SIZE)


def put(mm, rec, field, text):
    """A text field, cut to its size and padded with NULs."""
    off, n = field
    mm[rec + off:rec + off + n] = text[:n].ljust(n, b"\0")


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass
    return True


def sockaddr(ip, port):
    return (struct.pack("=H", socket.AF_INET) + struct.pack("!H", port) +
            socket.inet_aton(ip) + bytes(8))


DST, END_DST = sockaddr("192.0.2.1", 80), sockaddr("192.0.2.1", 9)

stop_flag = False


def on_stop(signum, frame):
    global stop_flag
    stop_flag = True


class Proxy:
    """The writer's side of the run: open connections and what has ended."""

    def __init__(self, table):
        self.t = table
        self.open = deque()  # (seq, in the table)
        self.ended = []      # (seq, ns)
        self.started = self.failed = self.failed_ends = 0

    def start(self, seq):
        now = int(time.time())
        src = sockaddr("10.0.0.1", 1024 + seq % 60000)
        # A connection the table refused stays open all the same.
        ok = self.t.start(seq, now, b"c%d" % seq, src, b"client") == 0
        self.open.append((seq, ok))
        if not ok:
            self.failed += 1
            return
        self.started += 1
        self.t.update(seq, now, 100, 200, 1, b"web", DST, b"server")

    def end_oldest(self):
        seq, ok = self.open.popleft()
        if not ok:
            return
        now = int(time.time())
        if self.t.end(seq, now) or self.t.update(seq, now, 100, 200, 1, b"end", END_DST, b"server"):
            self.failed_ends += 1
            return
        self.ended.append((seq, time.time_ns()))

    def write_log(self, path):
        with open(path, "w") as f:
            f.writelines("c%d %d\n" % e for e in self.ended)

    def summary(self, planned, took):
        print("%s: started %d, failed starts %d, ended %d, failed ends %d,"
              " in %.2f s (planned %.2f s)" % (PROG, self.started, self.failed, len(self.ended),
                                               self.failed_ends, took, planned), flush=True)


def sleep_until(ns):
    while not stop_flag:
        d = ns - time.monotonic_ns()
        if d <= 0:
            return
        time.sleep(min(d / 1e9, 0.1))


def run(proxy, rate, k, seconds):
    """Starts at an even pace; once k are open each start ends the oldest.
    After the last start the pace goes on with ends only, so every
    connection lives k / rate seconds."""
    total = int(rate * seconds)
    planned = (total - 1.0 + min(total, k)) / rate
    t0 = time.monotonic_ns()
    i = 0
    while not stop_flag and (i < total or proxy.open):
        sleep_until(t0 + int(i * 1e9 / rate))
        if i >= total or len(proxy.open) >= k:
            proxy.end_oldest()
        if i < total:
            proxy.start(i)
        i += 1
    while proxy.open:
        proxy.end_oldest()
    proxy.summary(planned, (time.monotonic_ns() - t0) / 1e9)


def flood(proxy, k, seconds):
    """As fast as it goes for the given seconds, k open."""
    t0 = time.monotonic_ns()
    stop_at = t0 + int(seconds * 1e9)
    i = 0
    while not stop_flag and time.monotonic_ns() < stop_at:
        if len(proxy.open) >= k:
            proxy.end_oldest()
        proxy.start(i)
        i += 1
    while proxy.open:
        proxy.end_oldest()
    proxy.summary(seconds, (time.monotonic_ns() - t0) / 1e9)


def wait_for_reader(table, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end and not stop_flag:
        if table.u32[H_PID + ALARM_READER]:
            return True
        time.sleep(0.01)
    return False


def usage():
    sys.stderr.write(
        "usage: rawwriter.py [-r rate|max] [-F] [-k open] [-s seconds] [-w wait] [-o log]"
        " [-z sessions]\n"
        "  -r connections per second (0: no traffic, only hold the table; max: -F)\n"
        "  -F flood: start connections as fast as they go, never pausing\n"
        "  -k connections open at once   -s seconds of traffic\n"
        "  -w seconds to wait for reader 5 to attach (0: do not wait)\n"
        "  -o log of ended connections, one \"c<seq> <ns>\" a line\n"
        "  -z make the table large enough for this many connections\n")
    sys.exit(2)


def parse_args(argv):
    o = {"rate": 20.0, "flood": False, "open": 10, "seconds": 10.0, "wait": 10.0,
         "log": PROG + ".log", "sessions": 0}
    try:
        opts, rest = getopt.getopt(argv, "r:Fk:s:w:o:z:")
        for c, v in opts:
            if c == "-r" and v == "max":
                o["flood"] = True
            elif c == "-r":
                o["rate"] = float(v)
            elif c == "-F":
                o["flood"] = True
            elif c == "-k":
                o["open"] = int(v)
            elif c == "-s":
                o["seconds"] = float(v)
            elif c == "-w":
                o["wait"] = float(v)
            elif c == "-o":
                o["log"] = v
            elif c == "-z":
                o["sessions"] = int(v)
    except (getopt.GetoptError, ValueError):
        usage()
    if rest or o["rate"] < 0 or o["open"] < 1 or o["seconds"] < 0 or o["sessions"] < 0:
        usage()
    return o


def main():
    o = parse_args(sys.argv[1:])
    try:
        size, slots = table_for(o["sessions"]) if o["sessions"] else (BASE_SIZE, INIT_CONNS)
    except ValueError as e:
        warn(str(e))
        return 2
    signal.signal(signal.SIGINT, on_stop)
    signal.signal(signal.SIGTERM, on_stop)
    try:
        table = Table(size, slots)
    except OSError as e:
        warn("cannot create the connection table: %s" % e)
        return 1
    print("%s: table created, pid %d" % (PROG, os.getpid()), flush=True)
    if o["sessions"]:
        print("%s: table of %d bytes, %d hash slots, room for %d connections"
              % (PROG, size, table.u32[H_NMAX], room(size, table.u32[H_NMAX])),
              flush=True)
    if o["wait"] > 0 and not wait_for_reader(table, o["wait"]):
        print("%s: reader 5 did not attach" % PROG, flush=True)

    proxy = Proxy(table)
    if o["flood"]:
        flood(proxy, o["open"], o["seconds"])
    elif o["rate"] > 0:
        run(proxy, o["rate"], o["open"], o["seconds"])
    try:
        proxy.write_log(o["log"])
    except OSError as e:
        warn("%s: %s" % (o["log"], e.strerror))
    report.summary()
    print("%s: done, holding table" % PROG, flush=True)
    stops = {signal.SIGINT, signal.SIGTERM}
    signal.pthread_sigmask(signal.SIG_BLOCK, stops)
    if not stop_flag:
        signal.sigwait(stops)
    table.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
