"""Signs, decrypts and draws random bytes with a card key through PyKCS11.

Arguments: module path, slot id, user PIN, key id (hex), data to sign (hex),
ciphertext to decrypt (hex). Prints "signature=<hex>", "plaintext=<hex>" and
"random=<hex>"; the calling test checks them with the public key."""
import sys

import PyKCS11


def main(module_path, slot, pin, key_id, data, ciphertext):
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module_path)
    session = lib.openSession(int(slot), PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(pin)
    keys = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY),
                                (PyKCS11.CKA_ID, bytes.fromhex(key_id))])
    if len(keys) != 1:
        print(f"expected one private key, found {len(keys)}")
        return 1
    mechanism = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS, None)
    signature = bytes(session.sign(keys[0], bytes.fromhex(data), mechanism))
    print("signature=" + signature.hex())
    plaintext = bytes(session.decrypt(keys[0], bytes.fromhex(ciphertext), mechanism))
    print("plaintext=" + plaintext.hex())
    print("random=" + bytes(session.generateRandom(16)).hex())
    session.logout()
    session.closeSession()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:7]))
