// LOAD and SAVE: the stored form of a whole tree through a reader object.
#include <optional>

#include "corelib/stored_file.hpp"
#include "model/internal.hpp"
#include "model/packed.hpp"

namespace tr47 {

namespace {

// Every failure becomes false; the reader is released on every path and is
// closed (which commits a SAVE) only when everything before succeeded.
bool run(DataObject* data, const std::string& file, const std::string& password, bool save) {
    try {
        if (!data) raise(hr::OBJECT_NOT_SET, "Object variable not set: no data object");
        ref<DataObject> keep(data);
        ref<ReaderObject> reader = ReaderObject::create();
        // The structure of a large file is checked on two threads (while its
        // checksum is computed or it is decrypted); then reading it need not
        // check its stored groups again.
        detail::StoredPayloadCheck check;
        {
            detail::WhileChecksummed alongside(
                {[&](std::string_view payload, std::size_t readable) { check.list(payload, readable); },
                 [&] { check.stop(); }, [&] { check.work(); }});
            reader->open(file, save ? 2 : 1, password, true, true, nullptr);
        }
        if (save) {
            data->store(*reader);
        } else {
            std::optional<detail::StoredGroupsChecked> skip;
            if (check.passed()) skip.emplace();
            data->read(*reader);
        }
        reader->close();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

bool cls_INI::LOAD(const std::string& pFile, const std::string& pPW) { return run(DATA().get(), pFile, pPW, false); }
bool cls_INI::SAVE(const std::string& pFile, const std::string& pPW) { return run(DATA().get(), pFile, pPW, true); }

namespace detail {
bool CollectionBase::LOAD(const std::string& pFile, const std::string& pPW) {
    return run(DATA().get(), pFile, pPW, false);
}
bool CollectionBase::SAVE(const std::string& pFile, const std::string& pPW) {
    return run(DATA().get(), pFile, pPW, true);
}
} // namespace detail

} // namespace tr47
