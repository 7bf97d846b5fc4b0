// The second table: several processes signing on one card at once, and the
// resident memory of a process over many search cycles.
#pragma once

#include <string>

#include "p11client.h"

namespace perf {

struct SignerResult {
    int processes = 0;
    double seconds = 0;
    long signatures = 0;
    long errors = 0;      // calls that did not return CKR_OK
    long unverified = 0;  // signatures OpenSSL did not accept
};

// Starts `processes` copies of this program in signer mode on the reader,
// all signing with the key pair `keyId` for `seconds` from one common start.
SignerResult runSigners(int processes, const std::string& reader, const Bytes& keyId, double seconds);

// Signer mode (zentrik-perf --signer READER KEYID START_MS SECONDS): prints
// "signatures errors unverified"; returns the exit status.
int signerMain(const std::string& reader, const std::string& keyIdHex, long long startMs, double seconds);

// VmRSS of this process in KiB.
long residentKiB();

}  // namespace perf
