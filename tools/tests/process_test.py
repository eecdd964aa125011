"""skarn as a process among others: signals, pipes, standard streams, the
progress line and the messages of failures."""

import os
import pty
import select
import signal
import stat
import subprocess
import threading
import time

from skarn_test_support import SAMPLE, skarn_env, SkarnTestCase, main, require_program
import skarn_test_support as support

STOP_SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]


class ProcessTest(SkarnTestCase):
    def start(self, *args, **popen):
        words = [support.SKARN] + [str(a) for a in args]
        return subprocess.Popen(words, env=skarn_env(self.tmp), **popen)

    def assert_nothing_left(self, directory, allowed, context):
        self.assertEqual(os.listdir(self.tmp), [], "temporary files left behind; " + context)
        self.assertEqual(sorted(os.listdir(directory)), sorted(allowed), "files left beside the output; " + context)

    def test_stop_signals_at_random_moments_leave_nothing_behind(self):
        data = self.random_bytes(48 << 20)
        source = self.write("big.bin", data)
        out_dir = self.path("out")
        out_dir.mkdir()
        target = out_dir / "edited.bin"
        commands = {
            "open": ["info", source],
            "search": ["find", "--hex", "00112233445566778899", source],
            "save": ["edit", source, "-o", target, "--overwrite", "0:x"],
        }
        for phase, args in commands.items():
            started = time.monotonic()
            self.start(*args, stdout=subprocess.DEVNULL).wait(timeout=600)
            duration = time.monotonic() - started
            for name in os.listdir(out_dir):
                os.remove(out_dir / name)
            interrupted = 0
            for attempt in range(6):
                number = STOP_SIGNALS[attempt % 3]
                context = "%s, signal %d, attempt %d" % (phase, number, attempt)
                # A process group of its own, as a shell with job control
                # makes, so that the signal goes where a terminal sends it.
                process = self.start(*args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     start_new_session=True)
                time.sleep(self.rng.uniform(0.02, 0.9) * duration)
                os.killpg(process.pid, number)
                _, err = process.communicate(timeout=600)
                if process.returncode == 128 + number:
                    interrupted += 1
                    self.assertEqual(err, b"", context)
                    self.assert_nothing_left(out_dir, [], context)
                else:
                    # Finished before the signal arrived, or killed before
                    # the handlers were set up: then it had made nothing yet.
                    self.assertIn(process.returncode, (0, 1, -number), context + err.decode())
                    saved = phase == "save" and process.returncode == 0
                    self.assert_nothing_left(out_dir, ["edited.bin"] if saved else [], context)
                    if saved:
                        self.assertEqual(target.read_bytes(), b"x" + data[1:], context)
                for name in os.listdir(out_dir):
                    os.remove(out_dir / name)
            self.assertGreater(interrupted, 0, "no run of %s was interrupted" % phase)

    def test_stop_signal_while_reading_standard_input(self):
        for number in STOP_SIGNALS:
            process = self.start("info", "-", stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 start_new_session=True)
            process.stdin.write(self.random_bytes(1 << 20))
            process.stdin.flush()
            time.sleep(0.3)
            # The input is still open: the tool waits in read() when the signal comes.
            os.killpg(process.pid, number)
            out, err = process.communicate(timeout=60)
            self.assertEqual((process.returncode, out, err), (128 + number, b"", b""))
            self.assertEqual(os.listdir(self.tmp), [])

    def pipeline(self, command):
        """Runs a bash pipeline; returns (each command's status, stderr, seconds)."""
        started = time.monotonic()
        done = subprocess.run(["bash", "-c", command + '; echo "${PIPESTATUS[@]}"'], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=skarn_env(self.tmp), cwd=self.dir, timeout=600)
        lines = done.stdout.decode().splitlines()
        return lines[:-1], lines[-1].split(), done.stderr.decode(), time.monotonic() - started

    def test_a_closed_pipe_ends_the_command_as_it_ends_grep_and_xxd(self):
        grep, xxd = require_program("grep"), require_program("xxd")
        with open(self.path("zeros.bin"), "wb") as f:
            f.truncate(100 << 20)
        self.write("lines.txt", b"y\n" * (50 << 20))
        skarn = support.SKARN
        cases = [
            ("%s find --hex 00 zeros.bin | head -1" % skarn, "%s -b -o -a -F y lines.txt | head -1" % grep, "0"),
            ("%s dump zeros.bin | head -1" % skarn, "%s zeros.bin | head -1" % xxd, None),
        ]
        for ours, reference, first_line in cases:
            with self.subTest(command=ours):
                out, status, err, seconds = self.pipeline(ours)
                ref_out, ref_status, ref_err, _ = self.pipeline(reference)
                self.assertEqual((status, err), (ref_status, ref_err))
                if first_line is not None:
                    self.assertEqual(out, [first_line])
                else:
                    self.assertEqual(out, ref_out)
                # Going through the whole file takes minutes: it stopped at once.
                self.assertLess(seconds, 10)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_standard_input_and_output_round_trip_bytes(self):
        data = self.random_bytes(300000)
        path = self.write("data.bin", data)
        env = skarn_env(self.tmp)
        run = lambda *args: subprocess.run([support.SKARN] + list(args), input=data, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, env=env, timeout=600)
        copy = run("edit", "-", "-o", "-", "--overwrite", "100:hex:00ff", "--insert", "0:xy")
        self.assertEqual((copy.returncode, copy.stderr), (0, b""))
        self.assertEqual(copy.stdout, b"xy" + data[:100] + b"\x00\xff" + data[102:])
        for args in (["dump", "-s", "-1000"], ["info", "--json"], ["find", "--hex", data[5000:5004].hex()]):
            with self.subTest(args=args):
                from_stdin = run(*(args + ["-"]))
                from_file = run(*(args + [str(path)]))
                self.assertEqual(from_stdin.returncode, from_file.returncode)
                self.assertEqual(from_stdin.stdout.replace(b'"-"', b'"%s"' % bytes(path)), from_file.stdout)
        saved = run("edit", "-", "-o", self.path("saved.bin"), "--delete", "0:1")
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertEqual(self.path("saved.bin").read_bytes(), data[1:])
        self.assertEqual(os.listdir(self.tmp), [])
        refused = run("edit", "-", "--in-place", "--delete", "0:1")
        self.assertEqual(refused.returncode, 2)
        self.assertIn(b"standard input", refused.stderr)

    def feed_fifo(self, fifo, data):
        """A writer that opens `fifo` (blocking until a reader does) and writes `data`."""
        source = self.write(fifo.name + ".data", data)
        writer = subprocess.Popen(["sh", "-c", 'exec cat "$1" > "$2"', "sh", source, fifo])
        self.addCleanup(lambda: writer.poll() is None and writer.kill())
        return writer

    def test_pipes_given_as_file_are_read_as_standard_input_is(self):
        # More than a pipe holds, so that the writer waits for the reader.
        data = self.random_bytes(300000)
        path = self.write("data.bin", data)
        fifo = self.path("fifo")
        os.mkfifo(fifo, 0o640)
        for args in (["dump", "-s", "-1000"], ["info", "--json"]):
            with self.subTest(args=args):
                writer = self.feed_fifo(fifo, data)
                from_fifo, _ = self.skarn(*args, fifo)
                self.assertEqual(writer.wait(timeout=60), 0)
                from_file, _ = self.skarn(*args, path)
                self.assertEqual(from_fifo.replace(bytes(fifo), bytes(path)), from_file)
        writer = self.feed_fifo(fifo, data)
        self.skarn("edit", fifo, "-o", self.path("from-fifo.bin"), "--delete", "0:2")
        self.assertEqual(writer.wait(timeout=60), 0)
        self.assertEqual(self.path("from-fifo.bin").read_bytes(), data[2:])
        # A pipe's mode says who may open it: the saved content gets what a
        # shell's "> OUT" gives, as content from standard input does.
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("from-fifo.bin")).st_mode), 0o666 & ~umask)

        # /dev/fd/N of an inherited pipe, as bash's <(command) passes it.
        read_end, write_end = os.pipe()

        def write_all():
            with open(write_end, "wb") as out:
                try:
                    out.write(data)
                except BrokenPipeError:
                    pass

        feeder = threading.Thread(target=write_all)
        feeder.start()
        try:
            done = subprocess.run([support.SKARN, "find", "--hex", data[200000:200008].hex(), "/dev/fd/%d" % read_end],
                                  pass_fds=(read_end,), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=skarn_env(self.tmp), timeout=60)
        finally:
            os.close(read_end)
            feeder.join(timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertIn(b"200000\n", done.stdout)
        out, status, err, _ = self.pipeline('%s edit <(cat data.bin) -o substituted.bin --overwrite 0:hex:00'
                                            % support.SKARN)
        self.assertEqual((status, err), (["0"], ""))
        self.assertEqual(self.path("substituted.bin").read_bytes(), b"\x00" + data[1:])
        self.assertEqual(os.listdir(self.tmp), [])

    def test_pipes_are_refused_before_they_are_read(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        # No writer: opening the pipe would wait for one.
        done = subprocess.run([support.SKARN, "edit", fifo, "--in-place", "--insert", "0:x"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=skarn_env(self.tmp), timeout=30)
        self.assertEqual((done.returncode, done.stdout, done.stderr.decode()),
                         (2, b"", "skarn edit: cannot edit '%s' in place: it is a pipe, not a regular file\n" % fifo))
        # Buffered data is still there for the next reader after each refusal.
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        writer = os.open(fifo, os.O_WRONLY)
        self.addCleanup(os.close, writer)
        os.write(writer, b"kept")
        for args in (["--in-place"], ["-o", self.path("missing") / "out"]):
            with self.subTest(args=args):
                self.skarn("edit", fifo, *args, "--insert", "0:x", status=2)
                os.write(writer, b"kept")
                self.assertEqual(os.read(reader, 100), b"keptkept")
                os.write(writer, b"kept")
        # Other special files are refused, never read to an end that may not come.
        for special, kind in ((self.dir, "a directory"), ("/dev/zero", "a character device")):
            with self.subTest(special=special):
                _, err = self.skarn("info", special, status=2)
                self.assertEqual(err, "skarn info: '%s' is %s, not a regular file or a pipe\n" % (special, kind))

    def stderr_of(self, args, terminal, feed_pause):
        """Runs skarn with its input fed in two parts `feed_pause` seconds
        apart, stderr on a pseudo-terminal or a pipe; returns stderr."""
        if terminal:
            master, slave = pty.openpty()
            process = self.start(*args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=slave)
            os.close(slave)
        else:
            process = self.start(*args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        process.stdin.write(b"a" * (1 << 20))
        process.stdin.flush()
        time.sleep(feed_pause)
        process.stdin.write(b"b" * (1 << 20))
        process.stdin.close()
        if not terminal:
            err = process.stderr.read()
            process.stderr.close()
            process.wait(timeout=60)
            return err
        err = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is closed once the tool exits
                break
            if not chunk:
                break
            err += chunk
        process.wait(timeout=60)
        os.close(master)
        self.assertEqual(process.returncode, 0)
        return err

    def test_progress_line_on_a_terminal_only(self):
        shown = self.stderr_of(["info", "-"], terminal=True, feed_pause=1.5)
        self.assertRegex(shown, rb"^\rskarn: reading standard input \d+\.\d MiB, [\d.]+ [KM]iB/s\x1b\[K")
        self.assertTrue(shown.endswith(b"\r\x1b[K"), shown)
        self.assertEqual(self.stderr_of(["info", "-"], terminal=False, feed_pause=1.5), b"")
        self.assertEqual(self.stderr_of(["info", "-q", "-"], terminal=True, feed_pause=1.5), b"")
        # Quick work shows nothing, even on a terminal.
        self.assertEqual(self.stderr_of(["info", "-"], terminal=True, feed_pause=0), b"")
        forced = self.stderr_of(["find", "--progress", "zz", "-"], terminal=False, feed_pause=0)
        self.assertRegex(forced, rb"skarn: searching 100% 2\.0 MiB of 2\.0 MiB.*\n$")

    def test_failures_explain_themselves_in_the_systems_words(self):
        source = self.write("a.txt", b"hello\n")
        directory = self.path("d")
        directory.mkdir()
        (directory / "a.txt").mkdir()
        cases = [
            (["-o", self.path("missing") / "x.txt"], "cannot save to '%s': No such file or directory"
             % (self.path("missing") / "x.txt")),
            (["-o", directory], "cannot save to '%s': Is a directory" % (directory / "a.txt")),
            (["-o", str(source) + "/"], "cannot save to '%s/': Not a directory" % source),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                _, err = self.skarn("edit", source, *args, "--upper", "0:1", status=2)
                self.assertEqual(err, "skarn edit: %s\n" % message)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.txt", "d", "tmpdir"])
        self.assertEqual(os.listdir(directory / "a.txt"), [])
        # A full disk, behind standard output and behind a saved file.
        full = subprocess.run("%s edit %s -o - --upper 0:1 > /dev/full" % (support.SKARN, source), shell=True,
                              stderr=subprocess.PIPE, env=skarn_env(self.tmp))
        self.assertEqual((full.returncode, full.stderr), (2, b"skarn edit: cannot write the output: "
                                                             b"No space left on device\n"))
        big = self.write("big.bin", self.random_bytes(3 << 20))
        mount = self.path("small")
        mount.mkdir()
        script = ('mount -t tmpfs -o size=1m tmpfs "$1" || exit 77; "$2" edit "$3" -o "$1/out.bin" --overwrite 0:x;'
                  ' echo "status $?"; ls -A "$1"')
        done = subprocess.run(["unshare", "-rm", "sh", "-c", script, "sh", str(mount), support.SKARN, str(big)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=skarn_env(self.tmp))
        if done.returncode == 77 or b"unshare" in done.stderr:
            self.skipTest("no private mount namespace here for a full file system")
        self.assertEqual(done.stderr.decode(), "skarn edit: cannot save to '%s/out.bin': No space left on device\n"
                         % mount)
        self.assertEqual(done.stdout, b"status 2\n", "a full disk leaves nothing behind")
        self.assertEqual(os.listdir(self.tmp), [])


if __name__ == "__main__":
    main()
