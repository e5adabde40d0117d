// Selecting a file on the card and reading it whole: the size from the selection reply (FCI),
// then READ BINARY in chunks of at most 254 bytes. The caller holds the card transaction.
#pragma once

#include "cardlib/netlink_parser.h"
#include "cardlib/scard.h"

#include <cstddef>

namespace velin::cardlib {

constexpr size_t Read_chunk = 254;

// The file size in an FCI (62 or 6F template, items 80/81 of two bytes, the last one wins).
// QUARK_ERROR::Unexpected_data when there is none.
size_t fci_file_size(const Bytes& fci);

// Reads size bytes from the selected file (size 0: take it from the FCI).
Bytes read_selected_file(SCard& card, const Bytes& fci, size_t size);

struct Selected_file {
    Bytes fci;
    size_t size = 0; // 0: from the FCI
    bool step_by_step = false; // the card refused the selection by path
};

// SELECT by path (P1 08); a card answering 6700 gets the master file and then each identifier
// in turn. With that fallback the two files whose FCI such cards leave unreliable get their
// known size (1000 1003: 16 bytes, 1100 1102: 400 bytes).
Selected_file select_path(SCard& card, const File_path& path);

// select_path and read the file whole.
Bytes read_path(SCard& card, const File_path& path);

// The length of the DER object at the start of bytes, header included: the certificate file is
// padded after the certificate. Windows error 38 (end of file) when fewer than 2 bytes or the
// object runs past the end; 13 (invalid data) for an indefinite or oversized length.
size_t der_object_length(const Bytes& bytes);

} // namespace velin::cardlib
