#include "sim/card/file_system.h"

#include <algorithm>

namespace qe::sim::card {
namespace {

// Positions of the condition bytes in tag 86 (index 0 is the access mode byte).
constexpr int kEfRead = 7, kEfUpdate = 6, kDfCreateEf = 6, kDfCreateDf = 5, kDeleteSelf = 1;

std::uint16_t Fid(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// The inner entries of an FCP/FCI template: [begin, end) of its value.
bool Inner(const Bytes& fcp, const std::uint8_t*& begin, const std::uint8_t*& end) {
    if (fcp.size() < 2 || (fcp[0] != 0x62 && fcp[0] != 0x6F)) {
        return false;
    }
    std::size_t len = fcp[1];
    std::size_t head = 2;
    if (len == 0x81 && fcp.size() >= 3) {
        len = fcp[2];
        head = 3;
    } else if (len == 0x82 && fcp.size() >= 4) {
        len = (std::size_t{fcp[2]} << 8) | fcp[3];
        head = 4;
    } else if (len > 0x7F) {
        return false;
    }
    if (head + len != fcp.size()) {
        return false;
    }
    begin = fcp.data() + head;
    end = begin + len;
    return true;
}

std::optional<Bytes> FcpTag(const Bytes& fcp, std::uint8_t tag) {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* end = nullptr;
    if (!Inner(fcp, begin, end)) {
        return std::nullopt;
    }
    return FindTag(begin, end, tag);
}

}  // namespace

std::unique_ptr<CardFile> FileFromFcp(const Bytes& fcp) {
    const auto fid = FcpTag(fcp, 0x83);
    const auto descriptor = FcpTag(fcp, 0x82);
    if (!fid || fid->size() != 2 || !descriptor || descriptor->empty()) {
        return nullptr;
    }
    if (const auto acl = FcpTag(fcp, 0x86); acl && acl->size() != 8) {
        return nullptr;
    }
    auto file = std::make_unique<CardFile>();
    file->fid = Fid(fid->data());
    file->fcp = fcp;
    if (((*descriptor)[0] & 0x3F) == 0x38) {
        file->is_df = true;
        return file;
    }
    if (((*descriptor)[0] & 0x07) != 0x01) {
        return nullptr;  // only transparent EFs
    }
    std::size_t size = 128;
    auto tag = FcpTag(fcp, 0x80);
    if (!tag) {
        tag = FcpTag(fcp, 0x81);
    }
    if (tag && tag->size() == 2) {
        size = Fid(tag->data());
    } else if (tag && tag->size() == 1) {
        size = (*tag)[0];
    }
    file->data.assign(size, 0x00);
    return file;
}

FileSystem::FileSystem() : mf_(std::make_unique<CardFile>()) {
    mf_->fid = 0x3F00;
    mf_->is_df = true;
    mf_->fcp = {0x6F, 0x07, 0x82, 0x01, 0x38, 0x83, 0x02, 0x3F, 0x00};
    ResetSelection();
}

void FileSystem::ResetSelection() {
    current_df_ = mf_.get();
    current_ef_ = nullptr;
}

CardFile* FileSystem::Find(CardFile& from, std::uint16_t fid) {
    if (from.fid == fid) {
        return &from;
    }
    for (auto& child : from.children) {
        if (CardFile* found = Find(*child, fid)) {
            return found;
        }
    }
    return nullptr;
}

CardFile* FileSystem::FindByName(CardFile& from, const Bytes& name) {
    if (from.is_df && FcpTag(from.fcp, 0x84) == name) {
        return &from;
    }
    for (auto& child : from.children) {
        if (CardFile* found = FindByName(*child, name)) {
            return found;
        }
    }
    return nullptr;
}

CardFile* FileSystem::FindByPath(CardFile* from, const Bytes& path) {
    if (path.size() % 2 != 0) {
        return nullptr;
    }
    for (std::size_t i = 0; i < path.size() && from != nullptr; i += 2) {
        const std::uint16_t fid = Fid(&path[i]);
        if (i == 0 && fid == 0x3F00 && from == mf_.get()) {
            continue;
        }
        CardFile* next = nullptr;
        for (auto& child : from->children) {
            if (child->fid == fid) {
                next = child.get();
            }
        }
        from = next;
    }
    return from;
}

bool FileSystem::Allowed(const CardFile* file, int index, bool user_authenticated) {
    const auto acl = FcpTag(file->fcp, 0x86);
    if (!acl) {
        return true;
    }
    const std::uint8_t condition = (*acl)[static_cast<std::size_t>(index)];
    if (condition == 0x00) {
        return true;
    }
    if (condition == 0x90 || (condition & 0x9F) == 0x10) {
        return user_authenticated;
    }
    return false;
}

Response FileSystem::Select(const Apdu& a) {
    if ((a.p2 & 0xF3) != 0x00) {
        return Status(kSwIncorrectP1P2);
    }
    CardFile* file = nullptr;
    switch (a.p1) {
        case 0x00:
            if (a.data.empty()) {
                file = mf_.get();
            } else if (a.data.size() == 2) {
                file = Find(*mf_, Fid(a.data.data()));
            }
            break;
        case 0x01:
        case 0x02:
            if (a.data.size() == 2) {
                file = FindByPath(current_df_, a.data);
                if (file != nullptr && file->is_df != (a.p1 == 0x01)) {
                    file = nullptr;
                }
            }
            break;
        case 0x03:
            file = current_df_->parent;
            break;
        case 0x04:
            file = FindByName(*mf_, a.data);
            break;
        case 0x08:
            file = FindByPath(mf_.get(), a.data);
            break;
        case 0x09:
            file = FindByPath(current_df_, a.data);
            break;
        default:
            return Status(kSwIncorrectP1P2);
    }
    if (file == nullptr) {
        return Status(kSwFileNotFound);
    }
    if (file->is_df) {
        current_df_ = file;
        current_ef_ = nullptr;
    } else {
        current_ef_ = file;
        current_df_ = file->parent;
    }
    if ((a.p2 & 0x0C) == 0x0C) {
        return Status(kSwOk);
    }
    return Response{file->fcp, kSwOk};
}

Response FileSystem::ReadBinary(const Apdu& a, bool user_authenticated) {
    if ((a.p1 & 0x80) != 0) {
        return Status(kSwIncorrectP1P2);  // no short EF identifiers
    }
    if (current_ef_ == nullptr) {
        return Status(kSwCommandIncompatible);
    }
    if (!Allowed(current_ef_, kEfRead, user_authenticated)) {
        return Status(kSwSecurityNotSatisfied);
    }
    const std::size_t offset = (std::size_t{a.p1} << 8) | a.p2;
    const Bytes& content = current_ef_->data;
    if (offset >= content.size()) {
        return Status(kSwOffsetOutside);
    }
    const std::size_t n = std::min(a.le == 0 ? 256 : a.le, content.size() - offset);
    return Response{Bytes(content.begin() + static_cast<std::ptrdiff_t>(offset),
                          content.begin() + static_cast<std::ptrdiff_t>(offset + n)),
                    kSwOk};
}

Response FileSystem::UpdateBinary(const Apdu& a, bool user_authenticated, bool& changed) {
    if ((a.p1 & 0x80) != 0) {
        return Status(kSwIncorrectP1P2);
    }
    if (current_ef_ == nullptr) {
        return Status(kSwCommandIncompatible);
    }
    if (!Allowed(current_ef_, kEfUpdate, user_authenticated)) {
        return Status(kSwSecurityNotSatisfied);
    }
    const std::size_t offset = (std::size_t{a.p1} << 8) | a.p2;
    Bytes& content = current_ef_->data;
    if (offset + a.data.size() > content.size()) {
        return Status(kSwOffsetOutside);
    }
    std::copy(a.data.begin(), a.data.end(), content.begin() + static_cast<std::ptrdiff_t>(offset));
    changed = true;
    return Status(kSwOk);
}

Response FileSystem::CreateFile(const Apdu& a, bool user_authenticated, bool& changed) {
    if (a.p1 != 0 || a.p2 != 0) {
        return Status(kSwIncorrectP1P2);
    }
    auto file = FileFromFcp(a.data);
    if (!file || Find(*mf_, file->fid) != nullptr) {
        return Status(kSwDataInvalid);
    }
    if (!Allowed(current_df_, file->is_df ? kDfCreateDf : kDfCreateEf, user_authenticated)) {
        return Status(kSwSecurityNotSatisfied);
    }
    if (current_df_->children.size() >= 32) {
        return Status(kSwFileFull);
    }
    file->parent = current_df_;
    CardFile* added = file.get();
    current_df_->children.push_back(std::move(file));
    if (added->is_df) {
        current_df_ = added;
        current_ef_ = nullptr;
    } else {
        current_ef_ = added;
    }
    changed = true;
    return Status(kSwOk);
}

Response FileSystem::DeleteFile(const Apdu& a, bool user_authenticated, bool& changed) {
    if (a.p1 != 0 || a.p2 != 0) {
        return Status(kSwIncorrectP1P2);
    }
    if (a.data.size() != 2) {
        return Status(kSwWrongLength);
    }
    CardFile* file = Find(*mf_, Fid(a.data.data()));
    if (file == nullptr) {
        return Status(kSwFileNotFound);
    }
    if (file == mf_.get()) {
        return Status(kSwCommandNotAllowed);
    }
    if (!Allowed(file, kDeleteSelf, user_authenticated)) {
        return Status(kSwSecurityNotSatisfied);
    }
    CardFile* parent = file->parent;
    auto& siblings = parent->children;
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                  [file](const auto& f) { return f.get() == file; }),
                   siblings.end());
    current_df_ = parent;
    current_ef_ = nullptr;
    changed = true;
    return Status(kSwOk);
}

void FileSystem::ForEach(
    const std::function<void(const std::vector<std::uint16_t>&, const CardFile&)>& visit) const {
    std::vector<std::uint16_t> path;
    std::function<void(const CardFile&)> walk = [&](const CardFile& f) {
        for (const auto& child : f.children) {
            path.push_back(child->fid);
            visit(path, *child);
            walk(*child);
            path.pop_back();
        }
    };
    walk(*mf_);
}

bool FileSystem::Restore(const std::vector<std::uint16_t>& path, Bytes fcp, Bytes data) {
    CardFile* parent = mf_.get();
    for (std::size_t i = 0; i + 1 < path.size() && parent != nullptr; ++i) {
        CardFile* next = nullptr;
        for (auto& child : parent->children) {
            if (child->fid == path[i]) {
                next = child.get();
            }
        }
        parent = next;
    }
    auto file = FileFromFcp(fcp);
    if (parent == nullptr || !parent->is_df || !file || path.empty() || file->fid != path.back()) {
        return false;
    }
    if (!file->is_df) {
        file->data = std::move(data);
    }
    file->parent = parent;
    parent->children.push_back(std::move(file));
    return true;
}

}  // namespace qe::sim::card
