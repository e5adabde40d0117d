#include "card_file_system.h"

#include <algorithm>
#include <stdexcept>

namespace cns_sim {

Card_file* Card_file::child(std::uint16_t id) const
{
    for (const auto& c : children)
        if (c->fid == id)
            return c.get();
    return nullptr;
}

Card_file_system::Card_file_system() : root_(std::make_unique<Card_file>())
{
    root_->fid = mf_id;
    root_->dedicated = true;
}

namespace {

Card_file& make_child(Card_file& parent, std::uint16_t fid, bool dedicated)
{
    if (!parent.dedicated)
        throw std::invalid_argument("cannot place a file below an elementary file");
    if (parent.child(fid) != nullptr || fid == Card_file_system::mf_id)
        throw std::invalid_argument("file identifier already in use");
    auto file = std::make_unique<Card_file>();
    file->fid = fid;
    file->dedicated = dedicated;
    file->parent = &parent;
    parent.children.push_back(std::move(file));
    return *parent.children.back();
}

Card_file& ensure_dfs(Card_file& root, const File_path& path)
{
    Card_file* at = &root;
    for (std::uint16_t id : path) {
        Card_file* next = at->child(id);
        if (next == nullptr)
            next = &make_child(*at, id, true);
        if (!next->dedicated)
            throw std::invalid_argument("path runs through an elementary file");
        at = next;
    }
    return *at;
}

} // namespace

Card_file& Card_file_system::add_df(const File_path& path, Bytes name)
{
    if (path.empty())
        throw std::invalid_argument("empty path");
    Card_file& parent = ensure_dfs(*root_, File_path(path.begin(), path.end() - 1));
    Card_file* existing = parent.child(path.back());
    Card_file& df = existing != nullptr && existing->dedicated ? *existing : make_child(parent, path.back(), true);
    if (!name.empty())
        df.df_name = std::move(name);
    return df;
}

Card_file& Card_file_system::add_ef(const File_path& path, Bytes content, bool pin_protected)
{
    if (path.empty())
        throw std::invalid_argument("empty path");
    Card_file& parent = ensure_dfs(*root_, File_path(path.begin(), path.end() - 1));
    Card_file& ef = make_child(parent, path.back(), false);
    ef.content = std::move(content);
    ef.pin_protected = pin_protected;
    return ef;
}

Card_file* Card_file_system::walk(Card_file& start, const File_path& path)
{
    Card_file* at = &start;
    for (std::uint16_t id : path) {
        if (!at->dedicated)
            return nullptr;
        at = at->child(id);
        if (at == nullptr)
            return nullptr;
    }
    return at;
}

Card_file* Card_file_system::find_df_by_name(Byte_view name)
{
    std::vector<Card_file*> pending{root_.get()};
    while (!pending.empty()) {
        Card_file* f = pending.back();
        pending.pop_back();
        if (f->dedicated && !f->df_name.empty() && std::ranges::equal(f->df_name, name))
            return f;
        for (const auto& c : f->children)
            pending.push_back(c.get());
    }
    return nullptr;
}

} // namespace cns_sim
