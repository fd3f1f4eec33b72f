"""The kemascopia module over the sample images of the build: pixels as
kema raw writes them without a copy, errors, threads, and one tree indexed
three ways (kema scan, kemascopia.scan, shards on a Dask scheduler and two
workers run as separate processes)."""
import contextlib
import gc
import importlib
import json
import logging
import os
import shutil
import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pytest

import kemascopia

KEMA = os.environ["KEMA_CLI"]
SAMPLES = os.environ["KEMA_SAMPLES"]


def sample_files():
    out = []
    for folder, _, files in os.walk(SAMPLES):
        out += [os.path.join(folder, f) for f in files if not f.startswith(".")]
    return sorted(out)


def kema_raw(path, tmp_path):
    out = tmp_path / "raw.bin"
    r = subprocess.run([KEMA, "raw", path, "-o", str(out)], capture_output=True)
    return out.read_bytes() if r.returncode == 0 else None


def read_bytes(path):
    return b"".join(im.pixels.tobytes() for im in kemascopia.read(path))


def test_pixels_are_what_kema_raw_writes_for_every_sample(tmp_path):
    files = sample_files()
    assert len(files) > 20
    formats = set()
    for path in files:
        raw = kema_raw(path, tmp_path)
        if raw is None:
            with pytest.raises(kemascopia.ReadError):
                kemascopia.read(path)
            continue
        images = kemascopia.read(path)
        formats.add(images[0].header["format_name"])
        for im in images:
            a = im.pixels
            assert a.dtype.byteorder in "<|=" and a.dtype.itemsize * a.size == a.nbytes
            h = im.header
            assert a.shape[:2] == (h["dim"][1], h["dim"][0]), path
        assert read_bytes(path) == raw, path
    assert len(formats) >= 10


def test_arrays_share_the_record_and_keep_it_alive():
    path = os.path.join(SAMPLES, "dicom_multiframe.dcm")
    images = kemascopia.read(path)
    first = images[0].pixels
    assert isinstance(first.base, kemascopia.Image)
    assert np.shares_memory(first, images[0].pixels)  # no copy on each access
    with pytest.raises(ValueError):
        first[0, 0] = 1
    expected = first.copy()
    slope, intercept = images[0].slope, images[0].intercept
    real = images[0].real_values()
    assert real.dtype == np.float64
    np.testing.assert_allclose(real, expected * slope + intercept)
    del images
    gc.collect()
    assert np.array_equal(first, expected)  # the record lives while the array does


def test_errors_raise_with_the_error_line_and_other_lines_go_to_logging(tmp_path, caplog):
    bad = tmp_path / "truncated.dcm"
    bad.write_bytes(open(os.path.join(SAMPLES, "dicom_multiframe.dcm"), "rb").read()[:2000])
    caplog.set_level(logging.DEBUG, logger="kemascopia")
    for path in (str(tmp_path / "missing.dcm"), str(bad)):
        with pytest.raises(kemascopia.ReadError) as e:
            kemascopia.read(path)
        assert str(e.value).startswith("ERROR") and path in str(e.value)
    assert any("file:" in r.getMessage() for r in caplog.records)
    assert kemascopia.detect(os.path.join(SAMPLES, "dicom_multiframe.dcm")) == 25
    assert "ERROR" not in kemascopia.read(os.path.join(SAMPLES, "mr_pages.tif"))[0].header_text()[:0]
    assert "DICOM FILE Header" in kemascopia.read(os.path.join(SAMPLES, "dicom_multiframe.dcm"))[0].header_text()


def test_eight_threads_read_what_one_reads():
    files = [f for f in sample_files() if kemascopia.detect(f) != 1]
    expected = {}
    for f in files:
        try:
            expected[f] = read_bytes(f)
        except kemascopia.ReadError:
            expected[f] = None
    got, errors = [], []

    def worker():
        mine = {}
        for f in files:
            try:
                mine[f] = read_bytes(f)
            except kemascopia.ReadError:
                mine[f] = None
            except Exception as e:  # noqa: BLE001
                errors.append(e)
        got.append(mine)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(got) == 8 and all(g == expected for g in got)


def write_dicom(path, frames=1, orientation=(1, 0, 0, 0, 1, 0), z=0.0, modality="MR"):
    """A small DICOM file: enhanced (functional groups, one position per
    frame) when it has several frames."""
    from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
    from pydicom.sequence import Sequence
    from pydicom.uid import ExplicitVRLittleEndian

    enhanced = frames > 1
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.4.1" if enhanced else "1.2.840.10008.5.1.4.1.1.4"
    meta.MediaStorageSOPInstanceUID = "1.2.3.%d" % (abs(hash((str(path), frames))) % 10**9)
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(str(path), {}, file_meta=meta, preamble=b"\0" * 128)
    ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
    ds.Modality, ds.PatientName, ds.PatientID, ds.StudyID, ds.SeriesNumber = modality, "Test^One", "P1", "7", 4
    ds.Rows = ds.Columns = 16  # a DICOM file is at least 1024 bytes
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    if enhanced:
        ds.NumberOfFrames = frames
        shared, pm, po = Dataset(), Dataset(), Dataset()
        pm.PixelSpacing, pm.SliceThickness, po.ImageOrientationPatient = [0.5, 0.5], 2, list(orientation)
        shared.PixelMeasuresSequence, shared.PlaneOrientationSequence = Sequence([pm]), Sequence([po])
        ds.SharedFunctionalGroupsSequence = Sequence([shared])
        per = []
        for k in range(frames):
            f, pp = Dataset(), Dataset()
            pp.ImagePositionPatient = [0, 0, z + 2.0 * k]
            f.PlanePositionSequence = Sequence([pp])
            per.append(f)
        ds.PerFrameFunctionalGroupsSequence = Sequence(per)
    else:
        ds.PixelSpacing, ds.SliceThickness = [0.5, 0.5], 2
        ds.ImageOrientationPatient, ds.ImagePositionPatient = list(orientation), [0, 0, z]
    ds.PixelData = np.arange(frames * 256, dtype=np.uint16).tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(str(path), write_like_original=False)


def test_images_of_a_file_are_rows_and_series_split_beyond_the_orientation_tolerance(tmp_path):
    pytest.importorskip("pydicom")
    tree = tmp_path / "tree"
    tree.mkdir()
    write_dicom(tree / "enhanced.dcm", frames=3, z=10)
    # Orientations 5e-5 apart are one series, 3e-4 apart two: as kema convert
    # groups them.
    write_dicom(tree / "a.dcm", z=0)
    write_dicom(tree / "b.dcm", orientation=(1, 5e-5, 0, 0, 1, 0), z=1)
    write_dicom(tree / "c.dcm", orientation=(1, 3e-4, 0, 0, 1, 0), z=2)
    db = str(tmp_path / "index.sqlite")
    assert subprocess.run([KEMA, "scan", str(tree), "--db", db]).returncode == 0
    con = sqlite3.connect(db)
    rows = con.execute("SELECT image, json_extract(image_position_patient, '$[2]'), json_extract(dim, '$[2]')"
                       " FROM images WHERE path LIKE '%enhanced.dcm' ORDER BY image").fetchall()
    assert rows == [(0, 10.0, 1), (1, 12.0, 1), (2, 14.0, 1)]
    frames = subprocess.run([KEMA, "info", "--frames", "--json", str(tree / "enhanced.dcm")],
                            capture_output=True, text=True).stdout.splitlines()
    assert [json.loads(f)["image_position_patient"][2] for f in frames] == [10.0, 12.0, 14.0]
    by_file = dict(con.execute("SELECT substr(path, length(?) + 2), series FROM images WHERE image = 0",
                               (str(tree),)))
    assert by_file["a.dcm"] == by_file["b.dcm"] != by_file["c.dcm"]
    assert by_file["a.dcm"].endswith(" / 1 0 0 0 1 0")
    converted = subprocess.run([KEMA, "convert", str(tree), "-o", str(tmp_path / "out"), "--json"],
                               capture_output=True, text=True).stdout.splitlines()
    assert sorted(json.loads(c)["images"] for c in converted) == sorted(
        n for (n,) in con.execute("SELECT images FROM series"))
    # The first image in path order names its group: the series of "a" does
    # not change when a file that sorts after it joins.
    write_dicom(tree / "b.dcm", frames=2, orientation=(1, -5e-5, 0, 0, 1, 0), z=20)
    os.remove(tree / "enhanced.dcm")
    assert subprocess.run([KEMA, "scan", str(tree), "--db", db]).returncode == 0
    assert con.execute("SELECT image, series = ? FROM images WHERE path LIKE '%b.dcm'",
                       (by_file["a.dcm"],)).fetchall() == [(0, 1), (1, 1)]
    assert con.execute("SELECT count(*) FROM images WHERE path LIKE '%enhanced.dcm'").fetchone()[0] == 0
    assert con.execute("SELECT status FROM files WHERE path LIKE '%enhanced.dcm'").fetchone()[0] == "vanished"
    assert con.execute("SELECT count(*) FROM series_pending").fetchone()[0] == 0
    con.close()
    # An index of one row per file is emptied and read again, not misread.
    old = str(tmp_path / "old.sqlite")
    con = sqlite3.connect(old)
    con.executescript("CREATE TABLE files(path TEXT PRIMARY KEY, size INTEGER, mtime_ns INTEGER, status TEXT,"
                      " format INTEGER, error TEXT, read_run INTEGER, seen_run INTEGER);"
                      "CREATE TABLE images(path TEXT PRIMARY KEY, series TEXT, dim TEXT);")
    st = os.stat(tree / "b.dcm")
    con.execute("INSERT INTO files VALUES(?, ?, ?, 'read', 25, NULL, 1, 1)", (str(tree / "b.dcm"), st.st_size,
                                                                             st.st_mtime_ns))
    con.commit()
    con.close()
    assert subprocess.run([KEMA, "scan", str(tree), "--db", old]).returncode == 0
    con = sqlite3.connect(old)
    assert con.execute("SELECT count(*) FROM images").fetchone()[0] == 4
    con.close()


@contextlib.contextmanager
def dask_cluster(tmp_path):
    """A scheduler and two workers, each a process of its own on loopback
    TCP, as on a cluster: yields the scheduler file."""
    scheduler_file = str(tmp_path / "scheduler.json")
    procs = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                               "--port", "0", "--no-dashboard", "--scheduler-file", scheduler_file],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(2):
            procs.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                                           scheduler_file, "--host", "127.0.0.1", "--nworkers", "1", "--nthreads",
                                           "1", "--no-dashboard"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        yield scheduler_file
    finally:
        for p in reversed(procs):
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def index_rows(db):
    con = sqlite3.connect(db)
    files = con.execute("SELECT path, size, mtime_ns, status, format, error FROM files ORDER BY path").fetchall()
    images = con.execute("SELECT * FROM images ORDER BY path, image").fetchall()
    con.close()
    return files, images


def test_one_tree_indexed_three_ways_gives_the_same_rows(tmp_path):
    tree = tmp_path / "tree"
    shutil.copytree(SAMPLES, tree)
    os.symlink("..", tree / "dicom_ct_series" / "loop")
    if importlib.util.find_spec("pydicom"):
        write_dicom(tree / "dicom_ct_series" / "enhanced.dcm", frames=4)
    subprocess.run([KEMA, "scan", str(tree), "--db", str(tmp_path / "kema.sqlite")], check=False)
    jsonl = subprocess.run([KEMA, "scan", str(tree), "--jsonl"], capture_output=True, text=True).stdout
    def order(r):
        return r["path"], r["image"] or 0

    from_cli = sorted((json.loads(line) for line in jsonl.splitlines()), key=order)
    from_python = sorted(kemascopia.scan([str(tree)], workers=3), key=order)
    assert from_python == from_cli
    assert any(r["status"] == "problem" and "loop" in r["error"] for r in from_python)

    from dask.distributed import Client

    dscan = importlib.import_module("kemascopia.scan")

    db = str(tmp_path / "dask.sqlite")
    # A run stopped after its first shard: the next one merges the rest only.
    folders, _ = dscan.walk_folders([str(tree)])
    plan = dscan.plan_shards(folders, 4)
    con = dscan.open_index(db)
    run = dscan.start_run(con, [str(tree)])
    name, members, files = plan[0]
    dscan.scan_shard(members, db + ".first", 1)
    dscan.merge_shard(con, run, name, db + ".first", members, files)
    con.close()
    with dask_cluster(tmp_path) as scheduler_file, Client(scheduler_file=scheduler_file, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        summary = dscan.run_scan([str(tree)], db, client, shards=4)
        assert summary["run"] == run and summary["skipped"] == 1 and summary["shards"] == len(plan)
        assert index_rows(db) == index_rows(str(tmp_path / "kema.sqlite"))
        # The next run reads only what changed.
        os.remove(tree / "mr_pages.tif")
        again = dscan.run_scan([str(tree)], db, client, shards=4)
    con = sqlite3.connect(db)
    assert again["vanished"] == 1
    assert con.execute("SELECT count(*) FROM files WHERE read_run = ? AND status != 'problem'",
                       (again["run"],)).fetchone()[0] == 0
    assert con.execute("SELECT status FROM files WHERE path LIKE '%mr_pages.tif'").fetchone()[0] == "vanished"
    con.close()
    assert kemascopia.scan([str(tree)]) != []  # the function still, with the module imported
