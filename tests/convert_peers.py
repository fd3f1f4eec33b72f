#!/usr/bin/python3
"""kema convert against its peers.

DICOM series written with pydicom go through dcm2niix and through
`kema convert --to nifti`: voxels identical, affines within 1e-4, the same
warnings. Every sample image converts to both targets: nibabel reads the
volumes, pydicom and `dcmdump +E` the DICOM files, and our own reader gives
back the same pixels and geometry.

usage: convert_peers.py KEMA SAMPLES_DIR WORK_DIR
"""
import json
import os
import shutil
import subprocess
import sys

import nibabel
import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

KEMA, SAMPLES, WORK = sys.argv[1:4]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def uid(*parts):
    return "2.25." + str(abs(hash(parts)) % 10 ** 30 + 1)


def new_file(sop_class):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.SOPClassUID = sop_class
    ds.PatientName, ds.PatientID, ds.StudyID = "PEER^TEST", "7", "1"
    ds.StudyDate, ds.StudyTime, ds.Modality, ds.SeriesNumber = "20240102", "090000", "CT", 5
    return ds


def pixels(rows, cols, k):
    return (np.arange(rows * cols).reshape(rows, cols) * 7 + 100 * k).astype(np.int16)


def write_series(folder, row, col, step, count, origin=(-60.0, -70.0, 10.0), thickness=2.0, skip=None,
                 numbers=None, tilt=None, position="HFS", slopes=None):
    """A CT series of `count` 12 x 10 slices; `step` is the IPP step vector."""
    os.makedirs(folder)
    row, col, step = np.array(row, float), np.array(col, float), np.array(step, float)
    study, series, frame = uid(folder, 1), uid(folder, 2), uid(folder, 3)
    for k in range(count):
        if k == skip:
            continue
        ds = new_file("1.2.840.10008.5.1.4.1.1.2")
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = uid(folder, "i", k)
        ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.FrameOfReferenceUID = study, series, frame
        ds.InstanceNumber = numbers[k] if numbers else k + 1
        ds.PatientPosition = position
        ds.ImagePositionPatient = [round(float(v), 4) for v in np.array(origin) + k * step]
        ds.ImageOrientationPatient = [float(v) for v in list(row) + list(col)]
        ds.PixelSpacing, ds.SliceThickness = [0.9, 0.8], thickness
        if tilt is not None:
            ds.GantryDetectorTilt = tilt
        ds.Rows, ds.Columns, ds.SamplesPerPixel, ds.PhotometricInterpretation = 12, 10, 1, "MONOCHROME2"
        ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
        ds.RescaleIntercept, ds.RescaleSlope = -1024, slopes[k] if slopes else 1
        ds.PixelData = pixels(12, 10, k).tobytes()
        ds.save_as(os.path.join(folder, "f%03d.dcm" % (k * 37 % 101)), write_like_original=False)


def write_enhanced(folder, count):
    """One enhanced CT file: per-frame positions, shared orientation and spacing."""
    os.makedirs(folder)
    ds = new_file("1.2.840.10008.5.1.4.1.1.2.1")
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = uid(folder, "mf")
    ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.FrameOfReferenceUID = uid(folder, 1), uid(folder, 2), uid(folder, 3)
    ds.InstanceNumber, ds.NumberOfFrames = 1, count
    ds.Rows, ds.Columns, ds.SamplesPerPixel, ds.PhotometricInterpretation = 12, 10, 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    shared = Dataset()
    orient, measures, rescale = Dataset(), Dataset(), Dataset()
    orient.ImageOrientationPatient = [1, 0, 0, 0, 0, -1]
    measures.PixelSpacing, measures.SliceThickness = [0.9, 0.8], 1.5
    rescale.RescaleIntercept, rescale.RescaleSlope, rescale.RescaleType = -1024, 1, "HU"
    shared.PlaneOrientationSequence, shared.PixelMeasuresSequence = [orient], [measures]
    shared.PixelValueTransformationSequence = [rescale]
    ds.SharedFunctionalGroupsSequence = [shared]
    frames = []
    for k in range(count):
        f, p = Dataset(), Dataset()
        p.ImagePositionPatient = [-40.0, 30.0 - 1.5 * k, 80.0]
        f.PlanePositionSequence = [p]
        frames.append(f)
    ds.PerFrameFunctionalGroupsSequence = frames
    ds.PixelData = b"".join(pixels(12, 10, k).tobytes() for k in range(count))
    ds.save_as(os.path.join(folder, "enhanced.dcm"), write_like_original=False)


def kema_convert(inputs, out, target="nifti", extra=()):
    cmd = [KEMA, "convert", "--to", target, "-o", out, "--json", *extra, *inputs]
    p = subprocess.run(cmd, capture_output=True, text=True)
    lines = [json.loads(l) for l in p.stdout.splitlines() if l.startswith("{")]
    return p.returncode, lines, p.stderr


def dcm2niix(folder, out):
    os.makedirs(out)
    p = subprocess.run(["dcm2niix", "-z", "n", "-f", "ref", "-o", out, folder], capture_output=True, text=True)
    return sorted(f for f in os.listdir(out) if f.endswith(".nii")), p.stdout


def compare_with_dcm2niix():
    s = np.sin(np.radians(20)), np.cos(np.radians(20))
    oblique_row, oblique_col = (s[1], s[0], 0.0), (0.0, 0.0, -1.0)
    tilt = 12.0
    cases = [
        # name, row, column, IPP step, count, extra arguments
        ("axial", (1, 0, 0), (0, 1, 0), (0, 0, 2.0), 6, {}),
        ("axial_descending", (1, 0, 0), (0, 1, 0), (0, 0, -2.0), 6, {}),
        ("axial_feet_first", (-1, 0, 0), (0, 1, 0), (0, 0, -2.0), 6, {"position": "FFS"}),
        ("sagittal", (0, 1, 0), (0, 0, -1), (-3.0, 0, 0), 5, {}),
        ("coronal", (1, 0, 0), (0, 0, -1), (0, 2.5, 0), 5, {}),
        ("oblique", oblique_row, oblique_col, tuple(-1.7 * np.cross(oblique_row, oblique_col)), 5, {}),
        ("overlapping", (1, 0, 0), (0, 1, 0), (0, 0, 0.6), 8, {"thickness": 0.8}),
        ("missing_slice", (1, 0, 0), (0, 1, 0), (0, 0, 2.0), 7, {"skip": 3}),
        ("shuffled_numbers", (1, 0, 0), (0, 1, 0), (0, 0, 2.0), 6, {"numbers": [4, 1, 6, 2, 5, 3]}),
        ("varying_rescale", (1, 0, 0), (0, 1, 0), (0, 0, 2.0), 4, {"slopes": [1, 0.5, 2, 0.25]}),
        ("gantry_tilt", (1, 0, 0), (0, np.cos(np.radians(tilt)), -np.sin(np.radians(tilt))),
         (0, 0, 2.0), 6, {"tilt": tilt}),
    ]
    for name, row, col, step, count, extra in cases:
        folder = os.path.join(WORK, "series", name)
        write_series(folder, row, col, step, count, **extra)
        compare_case(name, folder)
    folder = os.path.join(WORK, "series", "enhanced")
    write_enhanced(folder, 5)
    compare_case("enhanced", folder)


def compare_case(name, folder):
    ref_files, ref_log = dcm2niix(folder, os.path.join(WORK, "ref", name))
    status, lines, err = kema_convert([folder], os.path.join(WORK, "ours", name), extra=["--no-gzip"])
    check(status == 0 and len(lines) == 1, "%s: one series written (%d, %s)" % (name, status, err.strip()))
    if not lines or not ref_files:
        check(False, "%s: outputs (ours %d, dcm2niix %s)" % (name, len(lines), ref_files))
        return
    ours = nibabel.load(lines[0]["output"])
    warnings = " ".join(lines[0]["warnings"])
    if name == "gantry_tilt":
        # dcm2niix resamples a tilted series onto a grid without shear (its
        # "_Tilt_1" file) and also writes the untouched slices; we keep the
        # slices as they were acquired and put the shear in the sform, so the
        # untouched volume is the one to compare.
        ref_files = [f for f in ref_files if "Tilt" not in f] or ref_files
        # Both see the same 12 degrees.
        check("by 12 degrees (gantry tilt)" in warnings and "gantry tilt of 12 degrees" in ref_log,
              "%s: tilt reported (%s)" % (name, warnings))
        check(ours.header["qform_code"] == 1 and ours.header["sform_code"] == 1, name + ": qform and sform codes")
    if name != "enhanced":
        # The sform puts the first pixel sent of every slice where its file
        # says it is (LPS to RAS; rows run upwards in the volume): for the
        # tilted series, with the shear.
        slices = [pydicom.dcmread(os.path.join(folder, f)) for f in os.listdir(folder)]
        normal = np.cross(*np.reshape(slices[0].ImageOrientationPatient, (2, 3)))
        slices.sort(key=lambda d: np.dot(normal, np.array(d.ImagePositionPatient, float)))
        rows = ours.shape[1]
        placed = [ours.affine @ [0, rows - 1, k, 1] for k in range(len(slices))]
        expect = [np.array(d.ImagePositionPatient, float) * [-1, -1, 1] for d in slices]
        if name != "missing_slice":
            check(all(np.allclose(p[:3], e, atol=1e-3) for p, e in zip(placed, expect)), name + ": slices placed")
    ref = nibabel.load(os.path.join(WORK, "ref", name, ref_files[0]))
    a, b = np.asarray(ours.dataobj.get_unscaled()), np.asarray(ref.dataobj.get_unscaled())
    same = np.allclose(a, b, atol=1e-3) if a.dtype.kind == "f" else np.array_equal(a, b)
    check(a.shape == b.shape and a.dtype == b.dtype and same, "%s: voxels equal to dcm2niix's %s vs %s" % (name, a.shape, b.shape))
    if name == "missing_slice":
        # dcm2niix keeps the first step in its untouched volume (and pads an
        # equidistant one); we write the mean step from first to last slice,
        # so that the first and the last slice both sit where they were.
        check(np.allclose(ours.affine[:, [0, 1, 3]], ref.affine[:, [0, 1, 3]], atol=1e-4), name + ": affine")
        check(np.allclose(ours.affine[:3, 2], [0, 0, 12.0 / 5], atol=1e-4), name + ": mean step")
    elif name != "gantry_tilt":
        check(np.allclose(ours.affine, ref.affine, atol=1e-4), "%s: affine\n%s\nvs dcm2niix\n%s" % (name, ours.affine, ref.affine))
    check(ours.dataobj.slope == ref.dataobj.slope and ours.dataobj.inter == ref.dataobj.inter, name + ": rescale")
    if name == "missing_slice":
        check("unequal slice steps" in warnings, "%s: unequal steps reported (%s)" % (name, warnings))
        check("missing images" in ref_log.lower(), name + ": dcm2niix warns too")
    elif name == "varying_rescale":
        check(warnings == "rescale differs between images: voxels written as real values (float32)", name + ": " + warnings)
    elif name != "gantry_tilt":
        check(not warnings, "%s: no warning (%s)" % (name, warnings))


def raw_images(path, count, rgba=False):
    """The pixels our reader keeps for a file, cut into its images (RGBA as
    the RGB the writers keep of it)."""
    data = subprocess.run([KEMA, "raw", path, "-o", "-"], capture_output=True).stdout
    if rgba:
        data = np.frombuffer(data, np.uint8).reshape(-1, 4)[:, :3].tobytes()
    size = len(data) // max(count, 1)
    return sorted(data[k * size:(k + 1) * size] for k in range(count))


def info(path):
    out = subprocess.run([KEMA, "info", "--json", "--frames", path], capture_output=True, text=True).stdout
    return [json.loads(l) for l in out.splitlines()]


def samples_both_ways():
    for sample in sorted(os.listdir(SAMPLES)):
        if sample.startswith("."):
            continue
        src = os.path.join(SAMPLES, sample)
        row = "sample " + sample
        status, lines, err = kema_convert([src], os.path.join(WORK, "nifti", sample))
        check(status == 0 and lines and all(l["ok"] for l in lines), row + ": NIfTI written " + err.strip())
        for l in lines:
            img = nibabel.load(l["output"])
            check(img.shape[0] > 0 and np.asarray(img.dataobj).size > 0, row + ": nibabel reads " + l["output"])
            side = json.load(open(l["sidecar"]))
            check(side["source_files"] and "dim" in side, row + ": sidecar")
        status, lines, err = kema_convert([src], os.path.join(WORK, "dicom", sample), "dicom")
        check(status == 0 and lines and all(l["ok"] for l in lines), row + ": DICOM written " + err.strip())
        written = []
        for l in lines:
            for f in sorted(os.listdir(l["output"])):
                path = os.path.join(l["output"], f)
                written.append(path)
                d = subprocess.run(["dcmdump", "+E", "-q", path], capture_output=True, text=True)
                check(d.returncode == 0 and not d.stderr.strip(), "%s: dcmdump +E %s: %s" % (row, f, d.stderr.strip()))
                try:
                    pydicom.dcmread(path).pixel_array
                except Exception as e:  # noqa: BLE001 - any failure is the finding
                    check(False, "%s: pydicom %s: %s" % (row, f, e))
        # Round trip: the same pixels and geometry through our own reader.
        sources = [src] if not os.path.isdir(src) else sorted(
            os.path.join(d, f) for d, _, fs in os.walk(src) for f in fs if not f.startswith("."))
        frames, mine = [], []
        for f in sources:
            these = info(f)
            frames += these
            mine += raw_images(f, len(these), these[0].get("pix_type") == 194)
        theirs = [raw_images(p, 1)[0] for p in written]
        check(sorted(theirs) == sorted(mine), row + ": pixels back through our reader")
        back = sorted((tuple(i["image_position_patient"]), tuple(i["image_orientation_patient"])) for p in written
                      for i in info(p))
        orig = sorted((tuple(i["image_position_patient"]), tuple(i["image_orientation_patient"])) for i in frames)
        geometry = all(l["geometry"] for l in lines)
        if geometry:
            check(len(back) == len(orig) and all(np.allclose(x[0], y[0], atol=1e-4) and np.allclose(x[1], y[1], atol=1e-4)
                                                 for x, y in zip(back, orig)), row + ": geometry back through our reader")


if __name__ == "__main__":
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    compare_with_dcm2niix()
    samples_both_ways()
    print("%d failure(s)" % len(failures))
    sys.exit(1 if failures else 0)
