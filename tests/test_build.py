"""The installed extension files: one exported symbol, no C++ runtime."""

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

from conftest import extension_paths

PATHS = extension_paths()
ALLOWED_NEEDED = {"libc.so.6", "libpthread.so.0"}


def test_modules_are_installed():
    names = {p.name.split(".")[0] for p in PATHS}
    assert "count" in names


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.name.split(".")[0])
def test_exports_only_its_init_function(path):
    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        dynsym = elf.get_section_by_name(".dynsym")
        assert isinstance(dynsym, SymbolTableSection)
        exported = [
            sym.name for sym in dynsym.iter_symbols()
            if sym["st_shndx"] != "SHN_UNDEF"
            and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK",
                                           "STB_GNU_UNIQUE")
            and sym["st_info"]["type"] in ("STT_FUNC", "STT_OBJECT",
                                           "STT_GNU_IFUNC", "STT_TLS")
        ]
    assert exported == ["PyInit_" + path.name.split(".")[0]]


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.name.split(".")[0])
def test_needs_only_libc(path):
    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        needed = [
            tag.needed
            for section in elf.iter_sections()
            if isinstance(section, DynamicSection)
            for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"
        ]
    assert "libc.so.6" in needed
    unexpected = [lib for lib in needed if lib not in ALLOWED_NEEDED
                  and not lib.startswith("ld-linux")]
    assert unexpected == []
