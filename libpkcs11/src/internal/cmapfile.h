// The container map and card cache file as this module changes them: which
// writes it makes and in which order against the key objects on the card.
// The files' layout is in cmaprecords.h; how one write of them survives a
// lost card and other writers is in cmapjournal.h.
//
// Order of every map write, decided here and nowhere else:
// - a key pair (generated, or a public half added to a lone private half):
//   the index is chosen without writing, the key is made on the card, then
//   its record is written. A cut in between leaves a whole pair without its
//   record;
// - a half removed from a whole pair: the half goes first, then the record
//   is cleared (clearing never grows the map, so the write fits in place
//   even on a full card). A cut in between leaves a record naming a pair
//   that has lost a half;
// - the last half of a pair: a record still naming the pair is cleared
//   first, then the pair is deleted (once the pair is gone nothing could
//   tell that the record was ours);
// - the default mark: one map write;
// - a certificate: no map write; its container is a whole pair's index or
//   one that no record, certificate or whole pair uses.
// Every map write first reconciles the records with the key pairs, so the
// next writer finishes what a cut left: a whole pair gets its record back
// (a certificate of another identifier that an earlier release put on the
// pair's index first moves away: the card keeps a pair's index in its
// header, where only a new half could change it), a record naming a pair
// without the half it describes loses that size (and the record when none
// is left). Records that name none of our pairs are never changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "internal/cmapjournal.h"
#include "internal/cmaprecords.h"

namespace cmapfile {

// The container index for a new key pair, chosen without writing: the first
// free record that no certificate and no whole key pair uses, else the next
// record to be appended.
std::uint8_t chooseContainerIndex(amw::CachedToken& token);
// Puts a key pair on the card with its container: chooses the index, lets
// `makeKey` make and commit the key (the pair stores the index and whether
// it signs or exchanges keys), then writes the record with the pair's size.
amw::KeyPair& addKeyPairWithContainer(
    amw::CachedToken& token, const std::function<amw::KeyPair&(std::uint8_t containerIndex)>& makeKey);
// One map write for a key pair that is on the card now: the record at
// `containerIndex` is named from the identifier, marked valid and given the
// key size.
void addContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                            const StaticBuffer<128>& pkcs11Id, std::uint32_t keySpec,
                            std::uint32_t keySizeBits);
// Removes one half of a pair (the public one when `publicHalf`), or the
// whole pair when that half is its last, with its container record.
void destroyKeyPairHalf(amw::CachedToken& token, amw::KeyPair& keyPair, bool publicHalf);
void deleteContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec);
// The container of a new certificate: its whole pair's, else the first free
// record that no certificate and no whole pair uses, else an index past the
// map that none uses.
void chooseCertificateContainer(amw::CachedToken& token, const StaticBuffer<128>& pkcs11Id,
                                std::uint8_t& containerIndex, std::uint32_t& keySpec);
std::uint8_t getDefaultCertificateContainerIndex(amw::CachedToken& token);
void setDefaultCertificate(amw::CachedToken& token, std::uint8_t containerIndex);

}  // namespace cmapfile
