"""A PyKCS11 application's flow on the card.

Arguments: module path, slot id, user PIN, file to sign (a SHA-256
DigestInfo), and the output files for the public key (DER
SubjectPublicKeyInfo), the signature and the decryption result. Generates a
1024-bit key pair on the card, signs, decrypts a message OpenSSL encrypted
with the public key, draws random bytes, and destroys the keys. The calling
script verifies the signature with OpenSSL."""
import subprocess
import sys

import PyKCS11

KEY_ID = bytes.fromhex("7040")
MESSAGE = b"decrypted by PyKCS11"


def der(tag, content):
    length = len(content)
    if length < 0x80:
        header = bytes([length])
    else:
        size = length.to_bytes((length.bit_length() + 7) // 8, "big")
        header = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + header + content


def der_integer(value):
    data = bytes(value).lstrip(b"\x00")
    if not data or data[0] & 0x80:
        data = b"\x00" + data
    return der(0x02, data)


def subject_public_key_info(modulus, exponent):
    rsa_encryption = der(0x30, der(0x06, bytes.fromhex("2a864886f70d010101")) + der(0x05, b""))
    key = der(0x30, der_integer(modulus) + der_integer(exponent))
    return der(0x30, rsa_encryption + der(0x03, b"\x00" + key))


def check(condition, message):
    if not condition:
        raise SystemExit("pykcs11_flow: " + message)


def main(module_path, slot, pin, to_sign, public_out, signature_out, plaintext_out):
    slot = int(slot)
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module_path)
    check(slot in lib.getSlotList(tokenPresent=True), f"slot {slot} has no token")
    token = lib.getTokenInfo(slot)
    print("token=" + token.label.strip())
    print("serial=" + token.serialNumber.strip())
    mechanisms = sorted(lib.getMechanismList(slot))
    for wanted in ("CKM_RSA_PKCS", "CKM_RSA_PKCS_KEY_PAIR_GEN", "CKM_RSA_PKCS_PSS", "CKM_RSA_PKCS_OAEP",
                   "CKM_SHA256_RSA_PKCS", "CKM_SHA256_RSA_PKCS_PSS"):
        check(wanted in mechanisms, f"{wanted} missing from mechanisms {mechanisms}")
    print("mechanisms=" + ",".join(mechanisms))

    session = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login(pin)
    public_template = [
        (PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
        (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_ENCRYPT, True), (PyKCS11.CKA_VERIFY, True),
        (PyKCS11.CKA_MODULUS_BITS, 1024), (PyKCS11.CKA_PUBLIC_EXPONENT, (0x01, 0x00, 0x01)),
        (PyKCS11.CKA_LABEL, "pykey"), (PyKCS11.CKA_ID, KEY_ID)]
    private_template = [
        (PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_RSA),
        (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_SENSITIVE, True),
        (PyKCS11.CKA_DECRYPT, True), (PyKCS11.CKA_SIGN, True),
        (PyKCS11.CKA_LABEL, "pykey"), (PyKCS11.CKA_ID, KEY_ID)]
    public, private = session.generateKeyPair(public_template, private_template)
    print("generated")

    modulus, exponent = session.getAttributeValue(public, [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
    check(len(modulus) == 128, f"modulus of {len(modulus)} bytes")
    with open(public_out, "wb") as out:
        out.write(subject_public_key_info(modulus, exponent))

    mechanism = PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS, None)
    with open(to_sign, "rb") as data:
        signature = bytes(session.sign(private, data.read(), mechanism))
    with open(signature_out, "wb") as out:
        out.write(signature)

    ciphertext = subprocess.run(
        ["openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey", public_out],
        input=MESSAGE, capture_output=True, check=True).stdout
    plaintext = bytes(session.decrypt(private, ciphertext, mechanism))
    with open(plaintext_out, "w") as out:
        out.write("plaintext=" + plaintext.decode(errors="replace") + "\n")

    random = bytes(session.generateRandom(16))
    check(len(random) == 16 and random != bytes(16), "random bytes " + random.hex())

    found = session.findObjects([(PyKCS11.CKA_ID, KEY_ID)])
    check(len(found) == 2, f"{len(found)} objects with the key's id")
    session.destroyObject(private)
    session.destroyObject(public)
    check(not session.findObjects([(PyKCS11.CKA_ID, KEY_ID)]), "the keys are still there")
    print("destroyed")
    session.logout()
    session.closeSession()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:8]))
