#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/card/apdu.h"

namespace qe::sim::card {

// One file of the card: its control parameters exactly as created (returned on SELECT), and for
// a transparent EF its content.
struct CardFile {
    std::uint16_t fid = 0;
    bool is_df = false;
    Bytes fcp;
    Bytes data;
    CardFile* parent = nullptr;
    std::vector<std::unique_ptr<CardFile>> children;
};

// The ISO 7816-4 file tree under the MF (3F00), with the current DF and EF. Access rules come
// from each file's security attributes (tag 86: an access mode byte, then one condition byte per
// operation: 00 always, 90 the user PIN, FF never).
class FileSystem {
public:
    FileSystem();

    Response Select(const Apdu& apdu);
    Response ReadBinary(const Apdu& apdu, bool user_authenticated);
    Response UpdateBinary(const Apdu& apdu, bool user_authenticated, bool& changed);
    Response CreateFile(const Apdu& apdu, bool user_authenticated, bool& changed);
    Response DeleteFile(const Apdu& apdu, bool user_authenticated, bool& changed);
    void ResetSelection();

    // For the state file: every file, parents before children, with its FID path below the MF.
    void ForEach(
        const std::function<void(const std::vector<std::uint16_t>&, const CardFile&)>& visit) const;
    // Adds a file read back from the state file; false when its parent is missing.
    bool Restore(const std::vector<std::uint16_t>& path, Bytes fcp, Bytes data);
    const CardFile& Mf() const { return *mf_; }

private:
    CardFile* Find(CardFile& from, std::uint16_t fid);
    CardFile* FindByName(CardFile& from, const Bytes& name);
    CardFile* FindByPath(CardFile* from, const Bytes& path);
    static bool Allowed(const CardFile* file, int condition_index, bool user_authenticated);

    std::unique_ptr<CardFile> mf_;
    CardFile* current_df_ = nullptr;
    CardFile* current_ef_ = nullptr;
};

// Builds a file from CREATE FILE data (an FCP template 62 or FCI 6F); nothing when malformed.
std::unique_ptr<CardFile> FileFromFcp(const Bytes& fcp);

}  // namespace qe::sim::card
