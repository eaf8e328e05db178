"""Tests of the Windows zip: the files it holds, an e-mailer.exe that is a 64-bit
Windows program importing only the system's own DLLs, and a SMTP.reg that names every
value the program reads and that reg.exe imports under Wine, in a Wine prefix of the
test's own.

Run by ctest, one test per process: package_test.py PackageTest.test_<name>, with
WINDOWS_ZIP (the zip), OBJDUMP (mingw-w64's objdump), OPENSSL_ROOT (the OpenSSL it was
built with), SOURCE_DIR and WORK_DIR.
"""
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from wine_command import WINE

ZIP = os.environ["WINDOWS_ZIP"]
OBJDUMP = os.environ["OBJDUMP"]
SOURCE_DIR = os.environ["SOURCE_DIR"]
WORK_DIR = os.environ["WORK_DIR"]
OPENSSL_ROOT = os.environ["OPENSSL_ROOT"]
KEY = r"HKEY_CURRENT_USER\Software\Zelkor\Kestrum\SMTP"

# DLLs that come with every Windows; anything else (libstdc++, libgcc, winpthread or
# OpenSSL as DLLs) would have to be shipped beside the program.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ws2_32.dll",
               "rpcrt4.dll", "crypt32.dll", "bcrypt.dll", "secur32.dll", "msvcrt.dll",
               "shell32.dll", "winhttp.dll", "normaliz.dll"}


def parse_reg_file(text):
    """{name: value} of the values of a .reg file of the one key KEY: a text, or an int
    for dword:; None for a value written in a comment line, shown but not set. The
    values after another key line, such as a commented example of an account's key,
    are not KEY's. Only the syntax that the settings reader on Linux takes too. Raises
    ValueError on other lines."""
    lines = text.splitlines()
    if lines[0] != "Windows Registry Editor Version 5.00" or lines.count("[%s]" % KEY) != 1:
        raise ValueError("not a version 5 file of the key %s" % KEY)
    values = {}
    in_key = False
    for line in lines[1:]:
        key = re.fullmatch(r";?\[(.*)\]", line)
        if key:
            in_key = key.group(1) == KEY
            continue
        match = re.fullmatch(r'(;?)"(\w+)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-f]{8}))', line)
        if match and in_key:
            commented, name, text_value, number = match.groups()
            values[name] = (None if commented else int(number, 16) if number is not None
                            else re.sub(r"\\(.)", r"\1", text_value))
        elif line and not line.startswith(";") and not match:
            raise ValueError("unexpected line %r" % line)
    return values


class PackageTest(unittest.TestCase):
    def setUp(self):
        with zipfile.ZipFile(ZIP) as archive:
            self.files = {info.filename: archive.read(info) for info in archive.infolist()}

    def test_zip_holds_the_program_the_settings_and_the_readme(self):
        self.assertEqual(sorted(self.files), ["README.txt", "SMTP.reg", "e-mailer.exe", "sendmail.exe"])
        version = re.search(r"e-mailer-(.+)-windows-x86_64\.zip$", ZIP).group(1)
        readme = self.files["README.txt"].decode("ascii")
        self.assertTrue(readme.startswith("e-mailer %s for Windows\r\n" % version), readme[:80])
        self.assertIn("reg import SMTP.reg", readme)
        # Windows line ends throughout, for Notepad and reg.exe.
        for name in ("README.txt", "SMTP.reg"):
            self.assertNotIn(b"\n", self.files[name].replace(b"\r\n", b""), name)
        with open(os.path.join(os.path.dirname(ZIP), "e-mailer.exe"), "rb") as built:
            self.assertEqual(self.files["e-mailer.exe"], built.read())
        # The sendmail face is the same program under the name it answers to.
        self.assertEqual(self.files["sendmail.exe"], self.files["e-mailer.exe"])

    def test_program_is_64_bit_and_imports_only_system_dlls(self):
        with tempfile.TemporaryDirectory(dir=WORK_DIR) as scratch:
            program = os.path.join(scratch, "e-mailer.exe")
            with open(program, "wb") as out:
                out.write(self.files["e-mailer.exe"])
            headers = subprocess.run([OBJDUMP, "-p", program], capture_output=True, text=True,
                                     check=True).stdout
        self.assertIn("file format pei-x86-64", headers)
        self.assertRegex(headers, r"Magic\s+020b\s+\(PE32\+\)")
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
        self.assertIn("kernel32.dll", dlls)
        foreign = {dll for dll in dlls
                   if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")}
        self.assertEqual(foreign, set(), "DLLs that are not Windows' own")

    def test_program_reads_openssl_files_only_from_a_windows_folder(self):
        # OpenSSL's folders are built into the program: openssl.cnf and the default
        # trusted authorities are looked for in its configuration folder. A folder of the
        # build machine would on Windows name a path on the current drive that any user
        # may create.
        program = self.files["e-mailer.exe"]
        self.assertIn(b"C:/Program Files/Common Files/SSL/cert.pem\0", program)
        self.assertNotIn(os.path.realpath(OPENSSL_ROOT).encode(), program)

    def test_settings_name_every_value_the_program_reads(self):
        read = set()
        for source in glob.glob(os.path.join(SOURCE_DIR, "app", "**", "*.cpp"), recursive=True):
            with open(source, encoding="utf-8") as code:
                read |= set(re.findall(r'Read(?:Smtp|Dword)Setting\("(\w+)"', code.read()))
        self.assertTrue(read)
        values = parse_reg_file(self.files["SMTP.reg"].decode("ascii"))
        self.assertEqual(set(values), read)

    def test_settings_import_with_reg_and_read_back(self):
        prefix = tempfile.mkdtemp(prefix="wineprefix-package-", dir=WORK_DIR)
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
        self.addCleanup(shutil.rmtree, prefix, True)
        self.addCleanup(subprocess.run, ["wineserver", "-w"], env=env, timeout=120)

        def reg(*args):
            return subprocess.run([*WINE, "reg", *args], env=env, capture_output=True,
                                  timeout=300)

        settings = os.path.join(prefix, "SMTP.reg")
        with open(settings, "wb") as out:
            out.write(self.files["SMTP.reg"])
        imported = reg("import", settings)
        self.assertEqual(imported.returncode, 0, imported.stderr)
        query = reg("query", KEY)
        self.assertEqual(query.returncode, 0, query.stderr)

        found = {}
        for line in query.stdout.decode("ascii").splitlines():
            match = re.fullmatch(r"    (\S+)    (REG_SZ|REG_DWORD)    (.*)", line)
            if match:
                name, kind, data = match.groups()
                found[name] = int(data, 16) if kind == "REG_DWORD" else data
        expected = {name: value
                    for name, value in parse_reg_file(self.files["SMTP.reg"].decode("ascii")).items()
                    if value is not None}
        self.assertEqual(found, expected)
        self.assertEqual((found["Port"], found["Timeout"]), (25, 60))


if __name__ == "__main__":
    unittest.main()
