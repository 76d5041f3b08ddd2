"""Thumbnails of many photos at once on a Dask cluster.

resize_files() splits a list of JPEG files into batches and runs each batch
as one task on Dask's distributed scheduler; each worker calls qarvel in its
own process. The cluster can be the processes of one machine (the default
when no client is given and none is running) or workers on many machines
that see the same input and output folders.

Outputs are replaced safely, so a batch that Dask runs again after losing a
worker rewrites the same files whole: none is lost or left half-written.

From the command line, against a running scheduler:

    python3 -m qarvel.dask --scheduler tcp://HOST:8786 -o OUT_DIR -W 640 PHOTOS...

thumbnail_bag() does the same work on a dask.bag of JPEG bytes, for inputs
that come from any storage Dask can read.
"""

import argparse
import ctypes
import functools
import math
import os
import sys
import threading
from contextlib import ExitStack, redirect_stdout
from dataclasses import dataclass, field
from typing import Iterable, List, Optional, Sequence, Tuple, Union

import dask.bag
import distributed

import qarvel

__all__ = ["Summary", "find_photos", "resize_files", "thumbnail_bag", "main"]

_OPTIONS = ("rotate", "keep_metadata", "strip", "exact")
_JPEG_SUFFIXES = (".jpg", ".jpeg")


@dataclass
class Summary:
    """What resize_files did: how many files it was given and wrote, each
    file that failed with the reason, and problems that did not stop a file."""

    total: int = 0
    written: int = 0
    failed: List[Tuple[str, str]] = field(default_factory=list)
    warnings: List[Tuple[str, str]] = field(default_factory=list)


def find_photos(inputs: Iterable[Union[str, os.PathLike]]) -> List[str]:
    """The files resize_files works on: each input that is a folder stands
    for the *.jpg and *.jpeg files in it (sorted, not recursive), any other
    input for itself. Paths come back absolute, so that workers started in
    other folders find them."""
    found = []
    for item in inputs:
        path = os.path.abspath(os.fspath(item))
        if os.path.isdir(path):
            with os.scandir(path) as entries:
                found += sorted(e.path for e in entries
                                if e.name.lower().endswith(_JPEG_SUFFIXES) and e.is_file())
        else:
            found.append(path)
    return found


def _check_target(width: int, height: int, size, options: dict) -> None:
    unknown = set(options) - set(_OPTIONS)
    if unknown:
        raise TypeError(f"unknown option(s): {', '.join(sorted(unknown))}")
    qarvel._target(width, height, size)


class _HeapKept:
    """Keeps large freed blocks on the heap while batches run in this process.

    Dask starts its worker processes with MALLOC_TRIM_THRESHOLD_ set low,
    which also pins glibc's mmap threshold at 128 KiB: the JPEG decoder's
    buffers (tens of MiB for a progressive photo) are then mapped afresh and
    faulted in for every file, which more than doubles the time per photo.
    While any batch runs, freed blocks up to 32 MiB stay on the heap for the
    next file; when the last one ends, the settings the process was started
    with come back and the heap is trimmed. A process started without those
    variables adapts by itself and is left alone.
    """

    _M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3  # glibc's malloc.h
    _lock = threading.Lock()
    _running = 0

    def __init__(self):
        env = os.environ
        self.libc = None
        if "MALLOC_TRIM_THRESHOLD_" in env or "MALLOC_MMAP_THRESHOLD_" in env:
            try:
                libc = ctypes.CDLL(None)
                self.mallopt, self.malloc_trim = libc.mallopt, libc.malloc_trim
                self.started_with = (int(env.get("MALLOC_TRIM_THRESHOLD_", 128 << 10)),
                                     int(env.get("MALLOC_MMAP_THRESHOLD_", 128 << 10)))
                self.libc = libc
            except (AttributeError, OSError, ValueError):  # not glibc, or values it ignores
                pass

    def __enter__(self):
        with self._lock:
            if self.libc and _HeapKept._running == 0:
                self.mallopt(self._M_TRIM_THRESHOLD, 1 << 30)
                self.mallopt(self._M_MMAP_THRESHOLD, 32 << 20)
            _HeapKept._running += 1

    def __exit__(self, *exc):
        with self._lock:
            _HeapKept._running -= 1
            if self.libc and _HeapKept._running == 0:
                self.mallopt(self._M_TRIM_THRESHOLD, self.started_with[0])
                self.mallopt(self._M_MMAP_THRESHOLD, self.started_with[1])
                self.malloc_trim(0)


def _thumbnail_batch(jobs: Sequence[Tuple[str, str]], target: dict) -> list:
    """Runs on a worker: thumbnails each (input, output) pair and returns
    (input, failure message or None, warnings) for each."""
    results = []
    with _HeapKept():
        for src, dst in jobs:
            try:
                info = qarvel.thumbnail_file(src, dst, **target)
                results.append((src, None, info.warnings))
            except qarvel.Error as e:
                results.append((src, str(e), []))
    return results


def _input_size(job: Tuple[str, str]) -> int:
    try:
        return os.stat(job[0]).st_size
    except OSError:
        return 0


def _batches(jobs: list, batch: int, threads: int) -> List[list]:
    # At most `batch` files a task, and enough tasks that every worker
    # thread gets several: a few large batches would leave workers idle at
    # the end of a short run.
    size = max(1, min(batch, math.ceil(len(jobs) / (4 * max(threads, 1)))))
    return [jobs[i:i + size] for i in range(0, len(jobs), size)]


def _local_cluster(stack: ExitStack) -> distributed.Client:
    workers = len(os.sched_getaffinity(0))
    cluster = stack.enter_context(distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None))
    return stack.enter_context(distributed.Client(cluster))


def resize_files(inputs: Iterable[Union[str, os.PathLike]], out_dir: Union[str, os.PathLike],
                 width: int = 0, height: int = 0, size=None,
                 client: Optional[distributed.Client] = None, batch: int = 16,
                 progress: bool = False, **options) -> Summary:
    """Thumbnail many JPEG files on a Dask cluster, as qarvel.thumbnail_file
    does for one.

    inputs: files and folders (a folder stands for its *.jpg and *.jpeg
    files). Each output goes into out_dir under its input's file name;
    out_dir is created if missing. Every worker must see the inputs and
    out_dir under the same paths as this process (shared storage when the
    workers run on other machines).

    width, height, size and the options (rotate, keep_metadata, strip,
    exact) mean what they mean for qarvel.thumbnail.

    client: the Dask client to run on. Without one, the current default
    client is used, and when there is none a local cluster is started (one
    single-threaded worker process per core) and closed at the end.
    batch: at most this many files per task (fewer when there are few files,
    so that every worker gets some). progress: show Dask's progress bar on
    standard error.

    Returns a Summary; a file that fails does not stop the others. Raises
    ValueError for a wrong target or two inputs with the same file name,
    TypeError for an unknown option.
    """
    _check_target(width, height, size, options)
    if batch < 1:
        raise ValueError("batch must be at least 1")
    target = dict(width=width, height=height, size=size, **options)

    out_dir = os.path.abspath(os.fspath(out_dir))
    jobs, seen = [], {}
    for src in find_photos(inputs):
        dst = os.path.join(out_dir, os.path.basename(src))
        if dst in seen:
            raise ValueError(f"{seen[dst]} and {src} would both write {dst}")
        seen[dst] = src
        jobs.append((src, dst))
    summary = Summary(total=len(jobs))
    if not jobs:
        return summary
    os.makedirs(out_dir, exist_ok=True)

    with ExitStack() as stack:
        if client is None:
            try:
                client = distributed.default_client()
            except ValueError:
                client = _local_cluster(stack)
        threads = sum(client.nthreads().values())
        # Largest files first, so that the last tasks are short ones and no
        # worker is left with a long one while the others wait.
        batches = _batches(sorted(jobs, key=_input_size, reverse=True), batch, threads)
        futures = client.map(_thumbnail_batch, batches, target=target, pure=False)
        try:
            if progress:
                # Dask's text bar draws on standard output.
                with redirect_stdout(sys.stderr):
                    distributed.progress(futures)
            distributed.wait(futures)
        finally:
            client.cancel([f for f in futures if not f.done()])
        for future, jobs_of_batch in zip(futures, batches):
            if future.status == "finished":
                for src, error, warnings in future.result():
                    if error is None:
                        summary.written += 1
                        summary.warnings += [(src, w) for w in warnings]
                    else:
                        summary.failed.append((src, error))
            else:
                # The task itself failed: a worker died on it too often (KilledWorker).
                e = future.exception()
                reason = f"the task failed: {type(e).__name__}: {e}"
                summary.failed += [(src, reason) for src, _ in jobs_of_batch]
    position = {src: i for i, (src, _) in enumerate(jobs)}
    summary.failed.sort(key=lambda failure: position[failure[0]])
    summary.warnings.sort(key=lambda warning: position[warning[0]])
    return summary


def thumbnail_bag(bag: dask.bag.Bag, width: int = 0, height: int = 0, size=None,
                  **options) -> dask.bag.Bag:
    """A bag of JPEG thumbnails (bytes) made from a bag of JPEG files' bytes,
    in the same order, as qarvel.thumbnail makes one.

    The arguments mean what they mean for qarvel.thumbnail. A photo that
    cannot be resized makes the computation raise qarvel.Error.

    Photos from any storage Dask reads (local folders, S3, HTTP, ...):

        import dask.bag as db, fsspec

        def read(file):
            with file as f:
                return f.read()

        files = fsspec.open_files("s3://bucket/photos/*.jpg")
        photos = db.from_sequence(files, partition_size=16).map(read)
        thumbs = thumbnail_bag(photos, size="800x600").compute()
        for file, thumb in zip(files, thumbs): ...   # file.path names it
    """
    _check_target(width, height, size, options)
    return bag.map(functools.partial(qarvel.thumbnail, width=width, height=height, size=size,
                                     **options))


def _parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python3 -m qarvel.dask",
        description="Resize JPEG photos into OUT_DIR on a Dask cluster. An INPUT that is a "
                    "folder stands for the *.jpg and *.jpeg files in it. Every worker must "
                    "see the inputs and OUT_DIR under the same paths.",
        epilog="Exit status: 0 when every photo was written, 1 when any failed, 2 when the "
               "command line is wrong.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="JPEG files and folders")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler, such as tcp://host:8786 "
                             "(default: a cluster of this machine's cores)")
    parser.add_argument("-o", "--out-dir", required=True, metavar="OUT_DIR",
                        help="folder for the outputs (created if missing)")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("-W", "--width", type=int, metavar="N", help="width in pixels")
    target.add_argument("-s", "--size", metavar="WxH",
                        help="fit inside WxH, aspect ratio kept (Wx or xH bounds one side)")
    parser.add_argument("-H", "--height", type=int, default=0, metavar="N",
                        help="height with -W (default 0: keep the aspect ratio)")
    parser.add_argument("--batch", type=int, default=16, metavar="N",
                        help="at most N files per Dask task (default 16)")
    parser.add_argument("--no-rotate", dest="rotate", action="store_false",
                        help="do not turn photos upright by their EXIF orientation")
    parser.add_argument("--keep-metadata", action="store_true",
                        help="keep EXIF, XMP and IPTC as well as the colour profile")
    parser.add_argument("--strip", action="store_true",
                        help="keep no metadata, not even the colour profile")
    parser.add_argument("--exact", action="store_true",
                        help="decode at full size and use the library's resampler only")
    args = parser.parse_args(argv)
    if args.size is None and args.width <= 0:
        parser.error("the width must be positive")
    if args.size is not None and args.height:
        parser.error("-H goes with -W, not with -s")
    if args.batch < 1:
        parser.error("--batch must be at least 1")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command line; returns the exit status."""
    args = _parse_args(argv)
    target = dict(width=args.width or 0, height=args.height, size=args.size, rotate=args.rotate,
                  keep_metadata=args.keep_metadata, strip=args.strip, exact=args.exact)
    with ExitStack() as stack:
        client = None
        if args.scheduler:
            try:
                client = stack.enter_context(distributed.Client(args.scheduler, timeout=30))
            except OSError as e:
                print(f"qarvel: cannot reach the scheduler at {args.scheduler}: {e}",
                      file=sys.stderr)
                return 1
        try:
            summary = resize_files(args.inputs, args.out_dir, client=client, batch=args.batch,
                                   progress=sys.stderr.isatty(), **target)
        except ValueError as e:
            print(f"qarvel: {e}", file=sys.stderr)
            return 2
    if summary.total == 0:
        print("qarvel: no JPEG files found in the inputs", file=sys.stderr)
        return 2
    failed = len(summary.failed)
    print(f"qarvel: {summary.written} of {summary.total} file(s) resized"
          + (f", {failed} failed:" if failed else ""), file=sys.stderr)
    for src, reason in summary.failed:
        print(f"  {src}: {reason}", file=sys.stderr)
    for src, warning in summary.warnings:
        print(f"  {src}: warning: {warning}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    # Run the module's own copy (qarvel.dask, not __main__), so that the
    # functions sent to workers are found there by name.
    from qarvel.dask import main as _main

    sys.exit(_main())
