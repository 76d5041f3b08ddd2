"""resize_files, thumbnail_bag and the command line on a local cluster of two
worker processes."""

import io
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path

import dask.bag as db
import distributed
import pytest

import qarvel
import qarvel.dask

DATA = Path(os.environ["QARVEL_TESTDATA_DIR"])
PHOTOS = ["meta-exif-orientation6-128.jpg", "photo-480x360-420-exif.jpg",
          "photo-512-444-progressive.jpg", "photo-512-gray.jpg", "photo-640x480-422-iptc.jpg",
          "progressive-650x470-444.jpg", "size-21x32-420.jpg"]

# Debian's tornado and distributed disagree about event loops; harmless.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.fixture
def photos(tmp_path):
    """A folder of photos, one file that is not a JPEG, and one that is no photo."""
    folder = tmp_path / "in"
    folder.mkdir()
    for name in PHOTOS:
        shutil.copy(DATA / name, folder / name)
    shutil.copy(DATA / "notjpeg-text.jpg", folder / "bad.jpg")
    (folder / "notes.txt").write_text("not a photo")
    return folder


def thumbnails_made_here(folder, out, **target):
    out.mkdir()
    for name in PHOTOS:
        qarvel.thumbnail_file(folder / name, out / name, **target)
    return {name: (out / name).read_bytes() for name in PHOTOS}


def test_a_folder_on_two_workers_matches_thumbnail_file_here(client, photos, tmp_path):
    out = tmp_path / "out"
    summary = qarvel.dask.resize_files([photos], out, size="100x80", client=client, batch=3)
    assert (summary.total, summary.written) == (len(PHOTOS) + 1, len(PHOTOS))
    [(failed, reason)] = summary.failed
    assert failed == str(photos / "bad.jpg") and "Not a JPEG file" in reason
    assert sorted(os.listdir(out)) == sorted(PHOTOS)
    expected = thumbnails_made_here(photos, tmp_path / "here", size="100x80")
    assert {name: (out / name).read_bytes() for name in PHOTOS} == expected


def _die_once(marker):
    """On a worker: after its next written file, the first worker to get
    here kills its own process, in the middle of its group of jobs."""
    real = qarvel.dask._run_group

    def run_group(jobs, request):
        results = real(jobs[:1], request)
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return results + real(jobs[1:], request)
        os.kill(os.getpid(), signal.SIGKILL)

    run_group.real = real
    qarvel.dask._run_group = run_group


def _restore():
    qarvel.dask._run_group = getattr(qarvel.dask._run_group, "real", qarvel.dask._run_group)


def test_a_worker_killed_mid_batch_still_leaves_every_output_whole(client, photos, tmp_path):
    (photos / "bad.jpg").unlink()
    marker = tmp_path / "killed"
    client.run(_die_once, str(marker))
    try:
        summary = qarvel.dask.resize_files([photos], tmp_path / "out", width=90, client=client,
                                           batch=4)
    finally:
        client.run(_restore)
    assert marker.exists()
    assert (summary.written, summary.failed) == (len(PHOTOS), [])
    assert sorted(os.listdir(tmp_path / "out")) == sorted(PHOTOS)
    expected = thumbnails_made_here(photos, tmp_path / "here", width=90)
    assert {name: (tmp_path / "out" / name).read_bytes() for name in PHOTOS} == expected


def test_thumbnail_bag_matches_thumbnail(client):
    data = [(DATA / name).read_bytes() for name in PHOTOS]
    bag = qarvel.dask.thumbnail_bag(db.from_sequence(data, npartitions=3), 64, rotate=False)
    assert bag.compute() == [qarvel.thumbnail(d, 64, rotate=False) for d in data]


def test_command_line_lists_failures_and_sets_the_exit_status(client, photos, tmp_path):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "qarvel.dask", "--scheduler",
                               client.scheduler.address, *map(str, args)],
                              capture_output=True, text=True, timeout=120)

    done = run("-o", tmp_path / "out", "-W", 50, photos)
    assert done.returncode == 1, done.stderr
    assert f"{len(PHOTOS)} of {len(PHOTOS) + 1} file(s) resized, 1 failed" in done.stderr
    assert str(photos / "bad.jpg") in done.stderr
    assert len(done.stdout.splitlines()) == len(PHOTOS)
    address = ["--scheduler", client.scheduler.address, "-o", str(tmp_path / "out")]
    assert qarvel.dask.main(address + ["-s", "50x50", str(photos / PHOTOS[0])]) == 0
    with pytest.raises(SystemExit) as usage:
        qarvel.dask.main(address + ["-W", "50", "-s", "50x50", str(photos)])
    assert usage.value.code == 2


def test_batches_take_the_tools_options_and_refusals(client, photos, tmp_path):
    shutil.copy(DATA / PHOTOS[1], photos / "UPPER.JPG")
    (photos / "sub").mkdir()
    shutil.copy(DATA / PHOTOS[0], photos / "sub" / "deep.jpg")
    assert str(photos / "UPPER.JPG") in qarvel.dask.find_photos([photos])
    assert str(photos / "sub" / "deep.jpg") in qarvel.dask.find_photos([photos], recursive=True)

    # Two inputs with one output name: refused before anything is made.
    with pytest.raises(ValueError, match="would both write"):
        qarvel.dask.resize_files([photos, photos / "sub" / "deep.jpg", DATA / "sub-444-100x75.jpg",
                                  photos / "sub" / ".." / "UPPER.JPG"], tmp_path / "out", width=20,
                                 client=client)
    assert not (tmp_path / "out").exists()

    address = ["--scheduler", client.scheduler.address, "-o", str(tmp_path / "out"), "-W", "20"]
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        assert qarvel.dask.main(address + ["-r", "-q", str(photos)]) == 1
    assert out.getvalue() == "" and (tmp_path / "out" / "sub" / "deep.jpg").exists()
    with redirect_stdout(out), redirect_stderr(err):
        assert qarvel.dask.main(address + ["--skip-existing", str(photos / "UPPER.JPG")]) == 0
    assert "1 of 1" not in err.getvalue() and "skipped (output exists)" in err.getvalue()

    # An output folder that cannot be made: one clear failure, nothing run.
    (tmp_path / "file").write_text("")
    with pytest.raises(qarvel.Error, match="cannot create .*file/out"):
        qarvel.dask.resize_files([photos], tmp_path / "file" / "out", width=20, client=client)
    with redirect_stderr(err):
        assert qarvel.dask.main(address[:2] + ["-o", str(tmp_path / "file" / "out"), "-W", "9",
                                               str(photos)]) == 1
    assert "qarvel: cannot create" in err.getvalue()

    # The thumbnail options, as for qarvel.thumbnail.
    summary = qarvel.dask.resize_files([photos / "UPPER.JPG"], tmp_path / "named", size="30x30",
                                       crop="attention", quality=50, name="tn_%s.jpg",
                                       client=client)
    assert summary.written == 1
    named = (tmp_path / "named" / "tn_UPPER.jpg").read_bytes()
    assert named == qarvel.thumbnail((photos / "UPPER.JPG").read_bytes(), size="30x30",
                                     crop="attention", quality=50)


def test_an_unreachable_scheduler_fails_at_once(photos, tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    start = time.monotonic()
    err = io.StringIO()
    with redirect_stderr(err):
        assert qarvel.dask.main(["--scheduler", f"tcp://127.0.0.1:{port}", "-o",
                                 str(tmp_path / "out"), "-W", "20", str(photos)]) == 1
    assert time.monotonic() - start < 5 and "cannot reach the scheduler" in err.getvalue()
    assert not (tmp_path / "out").exists()
