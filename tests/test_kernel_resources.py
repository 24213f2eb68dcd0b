"""The register/spill check of the cuda compile step, on synthetic ptxas and
PTX text: it must fail on kernels a GPU could not launch at their block size."""

import os
import sys

import pytest

from conftest import parametrize_table

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import check_kernel_resources as ckr  # noqa: E402


def ptxas_log(entries):
    lines = ["ptxas info    : 0 bytes gmem"]
    for name, arch, regs, spill in entries:
        lines += [
            f"ptxas info    : Compiling entry function '{name}' for '{arch}'",
            f"ptxas info    : Function properties for {name}",
            f"    {spill} bytes stack frame, {spill} bytes spill stores, {spill // 2} bytes spill loads",
            f"ptxas info    : Used {regs} registers, used 0 barriers, 380 bytes cmem[0]",
        ]
    return "\n".join(lines)


PTX = """
.visible .entry _Z4wideP6double2(
	.param .u64 _Z4wideP6double2_param_0
)
.maxntid 512, 1, 1
{
	ret;
}
.visible .entry _Z4tileP6double2(
	.param .u64 _Z4tileP6double2_param_0
)
.maxntid 32, 8, 1
{
	ret;
}
.visible .entry _Z4freeP6double2(
	.param .u64 _Z4freeP6double2_param_0
)
{
	ret;
}
"""


def test_ptx_block_sizes_come_from_maxntid():
    assert ckr.parse_ptx(PTX) == {"_Z4wideP6double2": 512, "_Z4tileP6double2": 256}


@parametrize_table(
    "name,regs,spill,max_spill,failing",
    [
        ("_Z4tileP6double2", 255, 0, 0, False),  # 255 x 256 fits exactly
        ("_Z4tileP6double2", 256, 0, 0, False),  # 65536: the limit itself
        ("_Z4wideP6double2", 128, 0, 0, False),
        ("_Z4wideP6double2", 130, 0, 0, True),  # 130 x 512 > 65536
        ("_Z4freeP6double2", 64, 0, 0, False),  # no bound: counted at 1024 threads
        ("_Z4freeP6double2", 72, 0, 0, True),
        ("_Z4tileP6double2", 96, 2048, 1024, True),
        ("_Z4tileP6double2", 96, 1024, 1024, False),
    ],
)
def test_check_flags_oversized_kernels(name, regs, spill, max_spill, failing):
    kernels = ckr.parse_log(ptxas_log([(name, "sm_90", regs, spill)]))
    assert kernels[(name, "sm_90")]["registers"] == regs
    assert kernels[(name, "sm_90")]["spill_stores"] == spill
    failures, _ = ckr.check(kernels, ckr.parse_ptx(PTX), max_spill)
    assert bool(failures) == failing


def test_main_exit_status(tmp_path, capsys):
    log = tmp_path / "build.log"
    log.write_text(ptxas_log([("_Z4freeP6double2", "sm_75", 40, 0), ("_Z4freeP6double2", "sm_120", 200, 0)]))
    assert ckr.main([str(log)]) == 1
    assert "FAIL sm_120 _Z4freeP6double2: 200 registers x 1024 threads = 204800 > 65536" in capsys.readouterr().out
    log.write_text("nothing from ptxas here")
    assert ckr.main([str(log)]) == 1
    # A PTX folder left empty (nvcc --keep skipped, e.g. by a compiler cache) is
    # an error of its own, not 1024-thread failures for every kernel.
    log.write_text(ptxas_log([("_Z4freeP6double2", "sm_75", 40, 0)]))
    (tmp_path / "keep").mkdir()
    with pytest.raises(SystemExit, match="no .ptx files in"):
        ckr.main([str(log), "--ptx-dir", str(tmp_path / "keep")])
    (tmp_path / "keep" / "k.ptx").write_text(PTX)
    assert ckr.main([str(log), "--ptx-dir", str(tmp_path / "keep")]) == 0
