"""Thumbnails of many photos at once on a Dask cluster.

resize_files() plans a batch as `qarvel resize -o` does (the same folder
walk, names and refusals, decided by the library), splits the jobs into
groups and runs each group as one task on Dask's distributed scheduler; each
worker runs the library's jobs in its own process. The cluster can be the
processes of one machine (the default when no client is given and none is
running) or workers on many machines that see the same input and output
folders.

Outputs are replaced safely, so a group that Dask runs again after losing a
worker rewrites the same files whole: none is lost or left half-written.

From the command line, with the options of `qarvel resize -o`:

    python3 -m qarvel.dask --scheduler tcp://HOST:8786 -o OUT_DIR -W 640 PHOTOS...

thumbnail_bag() does the same work on a dask.bag of JPEG bytes, for inputs
that come from any storage Dask can read.
"""

import argparse
import functools
import math
import os
import socket
import sys
from contextlib import ExitStack, redirect_stdout
from dataclasses import dataclass, field
from typing import Iterable, List, Optional, Sequence, Tuple, Union
from urllib.parse import urlsplit

import dask.bag
import distributed

import qarvel
from qarvel import _qarvel

__all__ = ["Summary", "find_photos", "resize_files", "thumbnail_bag", "main"]

PathLike = Union[str, os.PathLike]


@dataclass
class Summary:
    """What resize_files did: how many files it was given, wrote and skipped
    (their output existed), each file that failed with the reason, problems
    that did not stop a file, and `text`, the summary `qarvel resize` prints."""

    total: int = 0
    written: int = 0
    skipped: int = 0
    failed: List[Tuple[str, str]] = field(default_factory=list)
    warnings: List[Tuple[str, str]] = field(default_factory=list)
    text: str = ""


def _absolute(paths: Iterable[PathLike]) -> List[bytes]:
    # Absolute, so that workers started in other folders find them.
    return [os.fsencode(os.path.abspath(os.fspath(p))) for p in paths]


def find_photos(inputs: Iterable[PathLike], recursive: bool = False) -> List[str]:
    """The files resize_files works on: each input that is a folder stands
    for the *.jpg and *.jpeg files in it (any case; with recursive, those of
    its subfolders too), any other input for itself. Paths come back
    absolute."""
    return [os.fsdecode(job[0]) for job in _qarvel.find_inputs(_absolute(inputs), recursive)]


def _run_group(jobs: list, request) -> list:
    """Runs on a worker: the library's jobs, one after another."""
    return _qarvel.run_jobs(jobs, request)


def _groups(order: List[int], size: int, threads: int) -> List[List[int]]:
    # At most `size` files a task, and enough tasks that every worker thread
    # gets several: a few large groups would leave workers idle at the end
    # of a short run.
    size = max(1, min(size, math.ceil(len(order) / (4 * max(threads, 1)))))
    return [order[i:i + size] for i in range(0, len(order), size)]


def _local_cluster(stack: ExitStack, workers: int = 0) -> distributed.Client:
    cluster = stack.enter_context(distributed.LocalCluster(
        n_workers=workers or len(os.sched_getaffinity(0)), threads_per_worker=1,
        processes=True, dashboard_address=None))
    return stack.enter_context(distributed.Client(cluster))


def _run_on(client: distributed.Client, jobs: list, request, group: int,
            progress: bool) -> list:
    """Every job's result, in the jobs' order."""
    results = [None] * len(jobs)
    # Jobs the plan refused fail here at once; the others go to the workers,
    # largest first, so that the last tasks are short ones.
    for i, job in enumerate(jobs):
        if job[2]:
            results[i] = _qarvel.run_jobs([job], request)[0]
    todo = [i for i in _qarvel.largest_first(jobs) if results[i] is None]
    groups = _groups(todo, group, sum(client.nthreads().values()))
    futures = client.map(_run_group, [[jobs[i] for i in g] for g in groups], request=request,
                         pure=False)
    try:
        if progress:
            # Dask's text bar draws on standard output.
            with redirect_stdout(sys.stderr):
                distributed.progress(futures)
        distributed.wait(futures)
    finally:
        client.cancel([f for f in futures if not f.done()])
    for future, indices in zip(futures, groups):
        if future.status == "finished":
            for i, result in zip(indices, future.result()):
                results[i] = result
        else:
            # The task itself failed: a worker died on it too often (KilledWorker).
            e = future.exception()
            reason = f"the task failed: {type(e).__name__}: {e}"
            for i in indices:
                results[i] = ("failed", reason, [], 0, 0, 0, 0)
    return results


def _run(inputs: Iterable[PathLike], out_dir: PathLike, request,
         client: Optional[distributed.Client], group: int, progress: bool,
         workers: int = 0) -> Tuple[list, list]:
    """Plans, makes the output folders and runs; (jobs, results)."""
    if group < 1:
        raise ValueError("batch must be at least 1")
    jobs, folders = _qarvel.plan(_absolute(inputs), _absolute([out_dir])[0], request)
    _qarvel.prepare_outputs(jobs, folders)
    with ExitStack() as stack:
        if client is None:
            try:
                client = distributed.default_client()
            except ValueError:
                client = _local_cluster(stack, workers)
        return jobs, _run_on(client, jobs, request, group, progress)


def _summary(jobs: list, results: list) -> Summary:
    s = Summary(total=len(jobs), text=_qarvel.summary(jobs, results))
    for job, (state, error, warnings, *_) in zip(jobs, results):
        src = os.fsdecode(job[0])
        s.written += state == "written"
        s.skipped += state == "skipped"
        if state == "failed":
            s.failed.append((src, error))
        s.warnings += [(src, w) for w in warnings]
    return s


def resize_files(inputs: Iterable[PathLike], out_dir: PathLike, width: Optional[int] = None,
                 height: Optional[int] = None, size=None,
                 client: Optional[distributed.Client] = None, batch: int = 16,
                 progress: bool = False, **options) -> Summary:
    return _summary(*_run(inputs, out_dir, qarvel._request(width, height, size, options, True),
                          client, batch, progress))


resize_files.__doc__ = """Thumbnail many JPEG files on a Dask cluster, as `qarvel resize -o` does.

    inputs: files and folders (a folder stands for its *.jpg and *.jpeg
    files). Each output goes into out_dir under its input's name (with
    recursive=True, mirroring the folders below each input folder); out_dir
    is created when there is something to write. Every worker must see the
    inputs and out_dir under the same paths as this process (shared storage
    when the workers run on other machines).

    width, height and size mean what they mean for qarvel.thumbnail; the
    options, as keywords:
{options}

    client: the Dask client to run on. Without one, the current default
    client is used, and when there is none a local cluster is started (one
    single-threaded worker process per core) and closed at the end.
    batch: at most this many files per task (fewer when there are few files,
    so that every worker gets some). progress: show Dask's progress bar on
    standard error.

    Returns a Summary; a file that fails does not stop the others. Raises
    ValueError for a wrong target, options that contradict each other, two
    inputs that would write one output, or no JPEG file in the inputs;
    TypeError for an unknown option; qarvel.Error when an output folder
    cannot be created.
    """.format(options=qarvel._options_doc(batch=True))


def thumbnail_bag(bag: dask.bag.Bag, width: Optional[int] = None, height: Optional[int] = None,
                  size=None, **options) -> dask.bag.Bag:
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
    qarvel._request(width, height, size, options)  # refuses wrong options now, not on a worker
    return bag.map(functools.partial(qarvel.thumbnail, width=width, height=height, size=size,
                                     **options))


def _parser() -> argparse.ArgumentParser:
    """The tool's batch options, from the library's table, and Dask's own."""
    parser = argparse.ArgumentParser(
        prog="python3 -m qarvel.dask",
        description="Resize JPEG photos into DIR on a Dask cluster, as `qarvel resize -o DIR` "
                    "does. An INPUT that is a folder stands for the *.jpg and *.jpeg files in "
                    "it. Every worker must see the inputs and DIR under the same paths.",
        epilog="Exit status: 0 when every photo was written or skipped, 1 when any failed, 2 "
               "when the command line is wrong.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="JPEG files and folders")
    for o in _qarvel.options():
        names = ([f"-{o['short']}"] if o["short"] else []) + [f"--{o['name']}"]
        text = " ".join(o["help"].split())
        if o["name"] == "jobs":
            text = "worker processes of a local cluster (default: number of cores)"
        if o["value"] == "flag":
            parser.add_argument(*names, dest=o["name"], action="store_const", const="",
                                help=text)
        elif o["value"] == "optional":
            parser.add_argument(*names, dest=o["name"], nargs="?", const="", metavar=o["metavar"],
                                choices=o["choices"] + [""], help=text)
        else:
            parser.add_argument(*names, dest=o["name"], metavar=o["metavar"], help=text)
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler, such as tcp://host:8786 "
                             "(default: a cluster of this machine's cores)")
    parser.add_argument("--timeout", type=float, default=10, metavar="SECONDS",
                        help="how long to try to reach the scheduler (default 10)")
    parser.add_argument("--batch", type=int, default=16, metavar="N",
                        help="at most N files per Dask task (default 16)")
    return parser


def _connect(stack: ExitStack, address: str, timeout: float) -> distributed.Client:
    """A client of the scheduler at address. A refused TCP connection fails
    at once rather than after Dask's retries."""
    url = urlsplit(address if "://" in address else "tcp://" + address)
    if url.scheme == "tcp" and url.hostname and url.port:
        socket.create_connection((url.hostname, url.port), timeout=timeout).close()
    return stack.enter_context(distributed.Client(address, timeout=timeout))


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    given = [(o["name"], getattr(args, o["name"])) for o in _qarvel.options()
             if getattr(args, o["name"]) is not None]
    try:
        request = _qarvel.Request({}, True, given)
        if args.scheduler and request.jobs:
            raise ValueError("--jobs sets the workers of a local cluster, not of a scheduler")
        if not dict(given).get("out-dir"):
            raise ValueError("the output folder is missing (-o DIR)")
    except ValueError as e:
        parser.error(str(e))
    with ExitStack() as stack:
        client = None
        if args.scheduler:
            try:
                client = _connect(stack, args.scheduler, args.timeout)
            except (OSError, ValueError) as e:
                print(f"qarvel: cannot reach the scheduler at {args.scheduler}: {e}",
                      file=sys.stderr)
                return 1
        try:
            jobs, results = _run(args.inputs, dict(given)["out-dir"], request, client, args.batch,
                                 sys.stderr.isatty(), request.jobs)
        except ValueError as e:
            parser.error(str(e))
        except qarvel.Error as e:
            print(f"qarvel: {e}", file=sys.stderr)
            return 1
    if not request.quiet:
        for job, result in zip(jobs, results):
            if result[0] == "written":
                sys.stdout.write(_qarvel.job_line(job, result))
    sys.stdout.flush()
    sys.stderr.write(_qarvel.summary(jobs, results))
    return 1 if any(r[0] == "failed" for r in results) else 0


if __name__ == "__main__":
    # Run the module's own copy (qarvel.dask, not __main__), so that the
    # functions sent to workers are found there by name.
    from qarvel.dask import main as _main

    sys.exit(_main())
