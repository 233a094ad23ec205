"""Writes the seed inputs of iso_builder_fuzz into fuzz/corpus/iso_builder_fuzz.

usage: python3 fuzz/make_iso_builder_corpus.py

Each seed is a source tree spelled in the input format that iso_builder_fuzz.cpp describes at its top;
the helpers below write one entry each. PIECES must list kPieces of the target in the same order.
The corpus folder also keeps inputs that found faults (joliet_names_the_import_dropped: names the tree
wrote and its own import left out; joliet_names_alike_but_a_trailing_dot: ".A" beside ".A.", which
xorriso shows under a name of its own); this script leaves them alone.
"""

import os

PIECES = [
    "a", "b", "Z", "readme", "README", "Readme", "notes", "file", "x1", "data",
    ".", ".", "..", " ", "  ", "txt", "TXT", "tar", "gz", "html",
    "jpeg", "c", "-", "_", "~1", "~2", "(1)", "[x]", "{y}", "#",
    "$", "%", "&", "'", "!", "@", "^", "`", "+", ",",
    "=", ";", ":", "?", "*", "\\", "\"", "<", ">", "|",
    "é", "É", "ü", "ß", "Ω", "日本", "文書", "한", "🎉", "😀",
    "𝄞", "1", "2", "10", "~", "ab.cd", ".git", "..x",
]
LONG_CHARACTERS = ["L", "x", " ", ".", "é", "日", "🎉"]
LONG_EXTENSIONS = ["", ".txt", ".a", ".jpeg", "."]


def options(no_joliet=False, volume_id=None, boot=None, save_path=0, top=None, dvd=False):
    flags = (1 if no_joliet else 0) | (2 if volume_id is not None else 0) | (4 if boot else 0)
    flags |= save_path << 3 | (32 if top else 0) | (64 if dvd else 0)
    out = bytes([flags])
    if volume_id is not None:
        out += bytes([len(volume_id)]) + bytes(ord(c) - 0x20 for c in volume_id)
    if boot:
        out += bytes(boot)  # size kind, content seed
    if top:
        out += top
    return out


# Names.
def ascii_name(text):
    assert 1 <= len(text) <= 32 and all(0x20 <= ord(c) < 0x7F for c in text)
    return bytes([1, len(text) - 1]) + bytes(ord(c) - 0x20 for c in text)


def pieces(*texts):
    assert 1 <= len(texts) <= 6
    return bytes([0, len(texts) - 1]) + bytes(PIECES.index(t) for t in texts)


def long_name(character, units, extension=""):
    assert 90 <= units < 138
    return bytes([2, LONG_CHARACTERS.index(character), units - 90, LONG_EXTENSIONS.index(extension)])


# Sizes (the last byte of each is the content seed).
def empty():
    return bytes([0])


def tiny(size, seed=1):
    return bytes([1, size - 1, seed])


def near_sector(size, seed=2):  # 2046..2050 bytes
    return bytes([2, size - 2046, seed])


def near_two_sectors(size, seed=3):  # 4094..4098 bytes
    return bytes([3, size - 4094, seed])


def medium(size, seed=4):  # up to 65535 bytes
    return bytes([5, size >> 8, size & 0xFF, seed])


def copy_block(size, seed=5):  # 131071..131073 bytes
    return bytes([6, size - 131071, seed])


def literal(data):
    return bytes([7, len(data)]) + data


# Entries.
def file(name, size):
    return bytes([0]) + name + size


def folder(name):
    return bytes([3]) + name


def up():
    return bytes([4])


def case_twin(size):
    return bytes([5]) + size


def mangled_twin(piece, size):
    return bytes([6, PIECES.index(piece)]) + size


def empty_folder(name):
    return bytes([7]) + name


def awkward_names(no_joliet):
    return options(no_joliet=no_joliet) + b"".join([
        file(pieces(".git"), tiny(9)),
        file(long_name("L", 100, ".txt"), tiny(21)),
        file(ascii_name("README.TXT"), tiny(6)),
        file(ascii_name("Readme.txt"), tiny(6, 7)),
        folder(ascii_name("Sub Folder")), file(ascii_name("inner.txt"), tiny(6)), up(),
        file(ascii_name("archive.tar.gz"), tiny(13)),
        file(ascii_name("empty.dat"), empty()),
        file(ascii_name("my notes.text"), tiny(27)),
        file(ascii_name("noext"), tiny(13)),
        file(ascii_name("trailing."), tiny(3)),
        file(pieces("notes", " ", "🎉", ".", "txt"), tiny(6)),
        file(pieces("É", "a", " ", "é", ".", "txt"), tiny(8)),
        file(pieces("日本", "文書", ".", "txt"), tiny(4)),
        file(pieces("a", ";", "b", "?", "*", "\\"), tiny(5)),
        file(pieces("a", ".", "b", ".", "c", "."), near_sector(2050)),
        empty_folder(ascii_name("nothing here")),
    ])


def sizes():
    return options(volume_id="Sizes and bytes") + b"".join([
        file(ascii_name("s2046.bin"), near_sector(2046)),
        file(ascii_name("s2048.bin"), near_sector(2048)),
        file(ascii_name("s2049.bin"), near_sector(2049)),
        file(ascii_name("s4097.bin"), near_two_sectors(4097)),
        file(ascii_name("s131071.bin"), copy_block(131071)),
        file(ascii_name("s131073.bin"), copy_block(131073)),
        file(ascii_name("m.bin"), medium(40000)),
        file(ascii_name("zero"), empty()),
        file(ascii_name("text.txt"), literal(b"text from the input\n")),
    ])


def deep_and_full_path():
    entries = b""
    for level in range(1, 11):
        entries += folder(ascii_name("level %d" % level)) + file(ascii_name("f%d.txt" % level), tiny(level))
    return options(save_path=1, volume_id="deep") + entries


def limits(file_units, folder_units):
    # Around the tree's limits: with Joliet a file name of 105 units (its added dot counted), a folder
    # name of 107 (the longest an import reads back); every file name 127.
    entries = b""
    for units in file_units:
        entries += file(long_name("x", units, ".a"), tiny(units))
    for units in folder_units:
        entries += folder(long_name("é", units)) + file(ascii_name("in%d" % units), tiny(1)) + up()
    entries += file(long_name("🎉", max(file_units), ".txt"), tiny(2))
    return options(save_path=2, top=ascii_name("My Top")) + entries


def limits_without_joliet():
    entries = b""
    for units in (120, 126, 127, 128):
        entries += file(long_name("L", units), tiny(units - 100))
    entries += folder(long_name("x", 130, ".jpeg")) + file(ascii_name("inside"), tiny(1)) + up()
    return options(no_joliet=True, volume_id="a volume identifier longer than thirty-two") + entries


def mangling():
    entries = b""
    for i in range(12):
        entries += file(ascii_name("longfilename%d.txt" % i), tiny(i + 1))
    entries += file(ascii_name("LONGFI~1.TXT"), tiny(3))
    entries += file(ascii_name("data"), tiny(4)) + case_twin(tiny(5))
    entries += file(ascii_name("Mixed Case.Name"), tiny(6)) + case_twin(tiny(7))
    entries += mangled_twin("~1", tiny(8)) + mangled_twin("1", tiny(9))
    entries += folder(ascii_name("DIR.EXT")) + file(ascii_name("a"), tiny(1)) + up()
    entries += folder(ascii_name("dir.ext")) + file(ascii_name("b"), tiny(1)) + up()
    return options() + entries


def bootable(size_kind, dvd):
    return options(boot=[size_kind, 9], dvd=dvd) + file(ascii_name("after boot.bin"), near_sector(2049)) + \
        folder(ascii_name("isolinux")) + file(ascii_name("isolinux.cfg"), tiny(40))


SEEDS = {
    "awkward_names": awkward_names(False),
    "awkward_names_iso_only": awkward_names(True),
    "sizes": sizes(),
    "deep_full_path": deep_and_full_path(),
    "limits_last_folder": limits((90, 104, 105, 106), (106, 107, 108)),
    "limits_iso_only": limits_without_joliet(),
    "mangling_and_case": mangling(),
    "boot_one_sector_cd": bootable(1, False),
    "boot_partial_sector_dvd": bootable(6, True),
    "boot_diskette_144": bootable(3, False),
}


def main():
    folder_path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "iso_builder_fuzz")
    os.makedirs(folder_path, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder_path, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
