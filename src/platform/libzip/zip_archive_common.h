// What ZipArchive does alike on every system through libzip: the checks of an entry, its reading
// into memory and its streaming. The back ends add what needs the system (opening the archive's
// file, the folders and the file a member is extracted to) and the test of a member name. Only
// this folder and the back ends may include libzip. Internal to src/platform/.
#ifndef PLOTSPOOL_PLATFORM_LIBZIP_ZIP_ARCHIVE_COMMON_H_
#define PLOTSPOOL_PLATFORM_LIBZIP_ZIP_ARCHIVE_COMMON_H_

#include <zip.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plotspool::platform {

// Supplied by the back end: true when this system would read the component `component` (not
// empty, not "." or "..") of a member name as something else than a plain name in its folder.
bool IsReservedComponent(std::string_view component);

// The folders of the member name `name`, then the leaf, split where this system separates
// folders ("/", on Windows "\" too), so the member lands exactly at destination + name, which is
// where the caller looks for it.
std::vector<std::string> SplitMemberName(const std::string& name);

// libzip's text for the error code `code`.
std::string ZipErrorText(int code);

// Whether entry `index` of `archive` (null when none is open) is one this module unpacks; 0 with
// its stored `name` and its `stat` filled, else the error number with the reason in `why`.
int CheckEntry(zip* archive, int index, std::string& name, zip_stat_t& stat, std::string& why);

// Opens the archive in `source` read-only with strict checks: a header that disagrees with the
// central directory is damage, not a variant. Null when it is no intact archive, `source` freed
// then and the reason in `why`.
zip* OpenArchiveSource(zip_source_t* source, std::string& why);

// Streams entry `index`, which declares `size` bytes, to `write` in chunks of a fixed size, so an
// entry of any size is written with the same memory. `write` returns 0 or an error number; a
// refusal is reported as "cannot write `target`". 0 when all of the entry went, else the error
// number with the reason in `why`.
int StreamEntry(zip* archive, int index, zip_uint64_t size, const std::string& target,
                const std::function<int(std::string_view)>& write, std::string& why);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_LIBZIP_ZIP_ARCHIVE_COMMON_H_
