"""Loads the module through PyKCS11 (C_GetFunctionList, C_Initialize) and
checks the library description it reads with C_GetInfo."""
import sys

import PyKCS11


def main(module_path):
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module_path)
    info = lib.getInfo()
    expected = {
        "manufacturerID": "Velmoran s.r.o.".ljust(32),
        "libraryDescription": "Zentrik 3.0 PKCS#11".ljust(32),
        "cryptokiVersion": (2, 20),
        "libraryVersion": (3, 0),
        "flags": 0,
    }
    failures = []
    for field, value in expected.items():
        actual = getattr(info, field)
        if actual != value:
            failures.append(f"{field}: expected {value!r}, got {actual!r}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
