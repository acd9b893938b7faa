"""What the built Corvane.exe carries: its imports and its resources."""
import struct
import subprocess
import xml.etree.ElementTree as ElementTree

from conftest import CORVANE_EXE

# Windows 10's KnownDLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session
# Manager\KnownDLLs): the loader maps these from the system folder whatever
# lies beside the program, so importing only these leaves nothing to plant.
KNOWN_DLLS = {"advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
              "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
              "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
              "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
              "user32.dll", "wldap32.dll", "ws2_32.dll"}


def _headers():
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", CORVANE_EXE], check=True,
                          capture_output=True, text=True).stdout


def _resource(kind, name):
    return subprocess.run(["wrestool", "-x", "--raw", "--type=%s" % kind, "--name=%s" % name, CORVANE_EXE],
                          check=True, capture_output=True).stdout


def test_a_64_bit_gui_program_importing_only_known_dlls_and_no_runtime():
    headers = _headers()
    assert "(PE32+)" in headers
    assert "(Windows GUI)" in headers
    imports = {line.split()[-1].lower() for line in headers.splitlines() if "DLL Name:" in line}
    assert imports and imports <= KNOWN_DLLS - {"msvcrt.dll"}, imports


def test_icon_group_101_holds_nine_png_images_of_32_bits():
    group = _resource(14, 101)
    reserved, kind, count = struct.unpack_from("<HHH", group)
    assert (reserved, kind, count) == (0, 1, 9)
    sizes = []
    for index in range(count):
        width, height, _, _, planes, bits, length, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
        width = width or 256
        height = height or 256
        assert width == height
        assert bits == 32
        image = _resource(3, icon_id)
        assert len(image) == length
        assert image.startswith(b"\x89PNG\r\n\x1a\n")
        png_width, png_height, depth, colour = struct.unpack(">IIBB", image[16:26])
        assert (png_width, png_height) == (width, height)
        assert (depth, colour) == (8, 6)  # 8 bits per channel, RGBA
        sizes.append(width)
    assert sorted(sizes) == [16, 20, 24, 32, 40, 48, 64, 128, 256]


def _version_strings(data):
    """The StringFileInfo pairs of a VS_VERSIONINFO block."""
    text = data.decode("utf-16-le", errors="replace")
    pairs = {}
    for key in ("CompanyName", "FileDescription", "FileVersion", "InternalName", "OriginalFilename",
                "ProductName", "ProductVersion"):
        start = text.find(key + "\0")
        assert start >= 0, key
        value_start = start + len(key) + 1
        while text[value_start] == "\0":
            value_start += 1
        pairs[key] = text[value_start:text.index("\0", value_start)]
    return pairs


def test_the_version_record_is_1_1_0_0_with_its_six_strings():
    data = _resource(16, 1)
    signature = data.find(struct.pack("<I", 0xFEEF04BD))
    assert signature > 0
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", data, signature + 8)
    assert (file_ms, file_ls) == (0x00010001, 0)
    assert (product_ms, product_ls) == (0x00010001, 0)
    assert _version_strings(data) == {
        "CompanyName": "Quillfen", "FileDescription": "Corvane", "FileVersion": "1.1.0.0",
        "InternalName": "corvane", "OriginalFilename": "Corvane.exe", "ProductName": "Corvane",
        "ProductVersion": "1.1.0.0"}


def test_the_manifest_asks_for_no_elevation_and_per_monitor_v2():
    root = ElementTree.fromstring(_resource(24, 1))
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1",
          "ws": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
    identity = root.find("v1:assemblyIdentity", ns)
    assert identity.attrib == {"name": "Quillfen.Corvane", "version": "1.1.0.0",
                               "processorArchitecture": "amd64", "type": "win32"}
    level = root.find(".//v3:requestedExecutionLevel", ns)
    assert level.attrib == {"level": "asInvoker", "uiAccess": "false"}
    os_ids = [e.attrib["Id"] for e in root.findall(".//c:supportedOS", ns)]
    assert os_ids == ["{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
    assert root.find(".//ws:dpiAwareness", ns).text == "PerMonitorV2"
    assert root.find(".//ws:longPathAware", ns).text == "true"
