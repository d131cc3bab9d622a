// The saved-scan file format: writing a Tree as one image, checking an image
// before anything reads it, and reading it in place.

#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "core/scan.h"
#include "core/store.h"
#include "core/text.h"

namespace tallmap {

namespace {

// Little-endian access at any offset; file images need not be aligned for
// these, and memcpy keeps the reads well-defined.
uint32_t load_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t load_u64(const uint8_t* p) { return load_u32(p) | uint64_t(load_u32(p + 4)) << 32; }
int32_t load_i32(const uint8_t* p) { return int32_t(load_u32(p)); }

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
}
void put_u64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; i++) out.push_back(uint8_t(v >> (8 * i)));
}
void poke_u32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) out[at + i] = uint8_t(v >> (8 * i));
}
void put_bytes(std::vector<uint8_t>& out, std::string_view s) {
  out.insert(out.end(), s.begin(), s.end());
}
void pad_to(std::vector<uint8_t>& out, size_t align) {
  while (out.size() % align) out.push_back(0);
}

uint32_t crc_of(const uint8_t* p, size_t n) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (n > 0) {
    uInt chunk = uInt(std::min<size_t>(n, 1u << 30));
    crc = crc32(crc, p, chunk);
    p += chunk;
    n -= chunk;
  }
  return uint32_t(crc);
}

constexpr size_t HEADER = 8;
constexpr size_t ROOT_RECORD = 48;
constexpr size_t FOLDER_RECORD = STORED_FOLDER_SIZE;
constexpr size_t LARGE_RECORD = 24;
constexpr size_t ELEMENT_SIZE[6] = {1, FOLDER_RECORD, 1, 4, LARGE_RECORD, 8};
constexpr size_t ALIGNMENT[6] = {1, 8, 1, 4, 8, 8};

}  // namespace

// ---- Writing ------------------------------------------------------------------

Result<std::vector<uint8_t>> serialize_scan(const Tree& tree, std::string_view canonical_path,
                                            bool reclaimable_flag) {
  const NameStore& store = *tree.names();
  uint64_t name_entries = store.reserved_count();
  std::vector<uint32_t> name_ends{0};
  name_ends.reserve(name_entries);
  uint64_t names_len = 0;
  for (uint64_t id = 1; id < name_entries; id++) {
    names_len += store.get(NameId(id)).size();
    if (names_len > 0xFFFFFFFFull) return Error{0, "over 4 GiB of names"};
    name_ends.push_back(uint32_t(names_len));
  }

  const auto& large = tree.largest_files();
  size_t large_names = 0;
  for (const auto& f : large) large_names += f.name.size();
  const auto& reclaim = tree.reclaimable();
  size_t total = HEADER + canonical_path.size() + 8 + FOLDER_RECORD * tree.folder_count() +
                 names_len + 4 + 4 * name_ends.size() + large_names + 8 +
                 LARGE_RECORD * large.size() + 8 + 8 * size_t(tree.folder_count()) + ROOT_RECORD + 4;

  std::vector<uint8_t> out;
  out.reserve(total);
  size_t start[6];
  uint32_t len[6];

  put_bytes(out, "TMAP");
  out.push_back(SCAN_FORMAT_VERSION);
  out.push_back(uint8_t((reclaimable_flag ? SCAN_FLAG_RECLAIMABLE : 0) |
                        (tree.stopped() ? SCAN_FLAG_STOPPED : 0)));
  put_u16(out, 0);

  start[0] = out.size();
  len[0] = uint32_t(canonical_path.size());
  put_bytes(out, canonical_path);
  pad_to(out, 8);

  start[1] = out.size();
  len[1] = tree.folder_count();
  for (const Folder& f : tree.folders()) {
    put_u32(out, f.parent);
    put_u32(out, f.name);
    out.push_back(f.flags);
    out.push_back(f.reserved);
    put_u16(out, f.errnum);
    put_u32(out, f.ino);
    put_u64(out, f.own);
  }

  start[2] = out.size();
  len[2] = uint32_t(names_len);
  for (uint64_t id = 1; id < name_entries; id++) put_bytes(out, store.get(NameId(id)));
  pad_to(out, 4);

  start[3] = out.size();
  len[3] = uint32_t(name_ends.size());
  for (uint32_t e : name_ends) put_u32(out, e);

  std::vector<size_t> name_at;
  name_at.reserve(large.size());
  for (const auto& f : large) {
    name_at.push_back(out.size());
    put_bytes(out, f.name);
  }
  pad_to(out, 8);
  start[4] = out.size();
  len[4] = uint32_t(large.size());
  for (size_t i = 0; i < large.size(); i++) {
    size_t field = out.size() + 12;
    put_u64(out, large[i].size);
    put_u32(out, large[i].folder);
    put_u32(out, uint32_t(int32_t(int64_t(name_at[i]) - int64_t(field))));
    put_u32(out, uint32_t(large[i].name.size()));
    put_u32(out, 0);
  }

  // In memory the vector may be shorter than the folders (missing entries
  // are 0); the file holds one per folder or none.
  pad_to(out, 8);
  start[5] = out.size();
  len[5] = reclaim.empty() ? 0 : tree.folder_count();
  for (uint32_t i = 0; i < len[5]; i++) put_u64(out, i < reclaim.size() ? reclaim[i] : 0);

  size_t root = out.size();
  for (int k = 0; k < 6; k++) {
    put_u32(out, 0);
    put_u32(out, len[k]);
    poke_u32(out, root + 8 * k, uint32_t(int32_t(int64_t(start[k]) - int64_t(root + 8 * k))));
  }
  put_u32(out, crc_of(out.data(), out.size()));
  return out;
}

// ---- Checking -------------------------------------------------------------------

std::optional<ScanRoot> check_scan(std::span<const uint8_t> bytes) {
  const uint8_t* b = bytes.data();
  const size_t n = bytes.size();
  if (n < 12 || std::memcmp(b, "TMAP", 4) != 0 || b[4] != SCAN_FORMAT_VERSION) return {};
  if (load_u32(b + n - 4) != crc_of(b, n - 4)) return {};
  if (n - 12 < ROOT_RECORD) return {};
  const size_t root = n - 4 - ROOT_RECORD;
  if (root % 4 != 0) return {};

  ScanRoot r;
  r.bytes_ = bytes;
  int64_t prev_end = HEADER;
  for (int k = 0; k < 6; k++) {
    int64_t field = int64_t(root) + 8 * k;
    int64_t start = field + load_i32(b + field);
    uint32_t len = load_u32(b + field + 4);
    int64_t end = start + int64_t(len) * int64_t(ELEMENT_SIZE[k]);
    if (start < int64_t(HEADER) || start < prev_end) return {};
    if (end > int64_t(root) || end < start) return {};
    if (start % int64_t(ALIGNMENT[k]) != 0) return {};
    r.arrays_[k] = {size_t(start), len};
    prev_end = end;
  }
  using A = ScanRoot;
  const auto& arr = r.arrays_;
  const size_t names_end_of_ends = arr[A::NAME_ENDS].start + 4 * size_t(arr[A::NAME_ENDS].len);
  const size_t large_start = arr[A::LARGEST].start;

  size_t prev_name_end = names_end_of_ends;
  for (uint32_t i = 0; i < arr[A::LARGEST].len; i++) {
    const uint8_t* e = b + large_start + LARGE_RECORD * i;
    int64_t name_start = int64_t(e + 12 - b) + load_i32(e + 12);
    int64_t name_end = name_start + int64_t(load_u32(e + 16));
    if (name_start < int64_t(names_end_of_ends) || name_end > int64_t(large_start)) return {};
    if (name_start < int64_t(prev_name_end)) return {};
    prev_name_end = size_t(name_end);
  }

  // Contents.
  const uint32_t folders = arr[A::FOLDERS].len;
  const uint32_t ends = arr[A::NAME_ENDS].len;
  if (folders == 0) return {};
  Folder f0 = r.folder(0);
  if (f0.parent != NO_PARENT || f0.name != 0) return {};
  for (uint32_t i = 1; i < folders; i++) {
    const uint8_t* rec = b + arr[A::FOLDERS].start + FOLDER_RECORD * i;
    uint32_t parent = load_u32(rec), name = load_u32(rec + 4);
    if (parent >= i || name == 0 || name >= ends) return {};
  }
  if (ends == 0) return {};
  const uint8_t* ends_at = b + arr[A::NAME_ENDS].start;
  if (load_u32(ends_at) != 0) return {};
  for (uint32_t k = 1; k < ends; k++)
    if (load_u32(ends_at + 4 * k) < load_u32(ends_at + 4 * (k - 1))) return {};
  if (load_u32(ends_at + 4 * (ends - 1)) != arr[A::NAMES].len) return {};
  for (uint32_t i = 0; i < arr[A::LARGEST].len; i++)
    if (load_u32(b + large_start + LARGE_RECORD * i + 8) >= folders) return {};
  if (arr[A::RECLAIMABLE].len != 0 && arr[A::RECLAIMABLE].len != folders) return {};

  // Names must be what a listing yields, so that paths built from them stay
  // inside the root and never carry a NUL into a system call.
  if (arr[A::LARGEST].len > LARGE_FILES_MAX) return {};
  std::string_view stored_path = r.path();
  if (stored_path.empty() || stored_path[0] != '/' || stored_path.find('\0') != stored_path.npos)
    return {};
  std::string_view all_names(reinterpret_cast<const char*>(b + arr[A::NAMES].start),
                             arr[A::NAMES].len);
  if (all_names.find('\0') != all_names.npos) return {};
  for (uint32_t i = 1; i < folders; i++)
    if (!is_entry_name(r.stored_name(r.folder(i).name))) return {};
  for (uint32_t i = 0; i < arr[A::LARGEST].len; i++)
    if (!is_entry_name(r.largest_file(i).name)) return {};
  return r;
}

// ---- Reading in place -----------------------------------------------------------

std::string_view ScanRoot::path() const {
  return {reinterpret_cast<const char*>(bytes_.data() + arrays_[PATH].start), arrays_[PATH].len};
}

Folder ScanRoot::folder(FolderId id) const { return folder_table()[id]; }

FolderTable ScanRoot::folder_table() const {
  return FolderTable::stored(bytes_.data() + arrays_[FOLDERS].start, arrays_[FOLDERS].len);
}

std::string_view ScanRoot::stored_name(NameId id) const {
  if (id == 0 || id >= name_count()) return {};
  const uint8_t* ends = bytes_.data() + arrays_[NAME_ENDS].start;
  uint32_t from = load_u32(ends + 4 * (size_t(id) - 1)), to = load_u32(ends + 4 * size_t(id));
  return {reinterpret_cast<const char*>(bytes_.data() + arrays_[NAMES].start + from), to - from};
}

std::string_view ScanRoot::names_bytes() const {
  return {reinterpret_cast<const char*>(bytes_.data() + arrays_[NAMES].start), arrays_[NAMES].len};
}

std::span<const uint8_t> ScanRoot::name_ends_bytes() const {
  return bytes_.subspan(arrays_[NAME_ENDS].start, 4 * size_t(arrays_[NAME_ENDS].len));
}

SavedLargeFile ScanRoot::largest_file(uint32_t i) const {
  const uint8_t* e = bytes_.data() + arrays_[LARGEST].start + LARGE_RECORD * size_t(i);
  const uint8_t* name = e + 12 + load_i32(e + 12);
  return {load_u64(e), load_u32(e + 8),
          {reinterpret_cast<const char*>(name), load_u32(e + 16)}};
}

uint64_t ScanRoot::reclaimable(FolderId id) const {
  if (id >= reclaimable_count()) return 0;
  return load_u64(bytes_.data() + arrays_[RECLAIMABLE].start + 8 * size_t(id));
}

std::shared_ptr<Tree> tree_from_scan(const ScanRoot& root, std::string_view root_name) {
  auto names = std::make_shared<NameStore>();
  names->append(root_name);
  for (NameId id = 1; id < root.name_count(); id++) names->append(root.stored_name(id));

  std::vector<Folder> folders(root.folder_count());
  for (FolderId id = 0; id < folders.size(); id++) folders[id] = root.folder(id);

  std::vector<LargeFile> large;
  large.reserve(root.largest_file_count());
  for (uint32_t i = 0; i < root.largest_file_count(); i++) {
    SavedLargeFile f = root.largest_file(i);
    large.push_back({f.size, f.folder, std::string(f.name)});
  }

  std::vector<uint64_t> reclaim(root.reclaimable_count());
  for (FolderId id = 0; id < reclaim.size(); id++) reclaim[id] = root.reclaimable(id);

  return Tree::from_parts(std::move(folders), std::move(large), std::move(reclaim),
                          std::move(names), make_link_map(), next_stamp(), root.stopped());
}

// ---- Owned images -------------------------------------------------------------

ScanImage::~ScanImage() { release(); }

void ScanImage::release() {
  if (mapped_ && data_) munmap(const_cast<uint8_t*>(data_), len_);
  data_ = nullptr;
  len_ = 0;
  mapped_ = false;
  buffer_.clear();
}

ScanImage::ScanImage(ScanImage&& o) noexcept { *this = std::move(o); }

ScanImage& ScanImage::operator=(ScanImage&& o) noexcept {
  if (this != &o) {
    release();
    // Moving the vector keeps its heap block, so views into it stay valid.
    buffer_ = std::move(o.buffer_);
    data_ = o.data_;
    len_ = o.len_;
    mapped_ = o.mapped_;
    o.data_ = nullptr;
    o.len_ = 0;
    o.mapped_ = false;
  }
  return *this;
}

Result<ScanImage> ScanImage::map_file(int fd, size_t len) {
  ScanImage img;
  if (len == 0) return img;  // nothing to map; the check refuses it
  void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    int e = errno;
    return Error{e, os_error_text(e)};
  }
  img.data_ = static_cast<const uint8_t*>(p);
  img.len_ = len;
  img.mapped_ = true;
  return img;
}

ScanImage ScanImage::from_buffer(std::vector<uint8_t> buffer) {
  ScanImage img;
  img.buffer_ = std::move(buffer);
  img.data_ = img.buffer_.data();
  img.len_ = img.buffer_.size();
  return img;
}

// ---- View for reports ---------------------------------------------------------

ScanView::ScanView(ScanImage image, ScanRoot root, std::string root_name)
    : image_(std::move(image)), root_(root), root_name_(std::move(root_name)) {}

std::optional<ScanView> ScanView::check(ScanImage image, std::string root_name) {
  auto root = check_scan(image.bytes());
  if (!root) return std::nullopt;
  return ScanView(std::move(image), *root, std::move(root_name));
}

std::string_view ScanView::name_bytes(NameId id) const {
  return id == 0 ? std::string_view(root_name_) : root_.stored_name(id);
}

const TreeIndex& ScanView::index() const {
  if (!index_) {
    std::vector<uint64_t> reclaim(root_.reclaimable_count());
    for (FolderId id = 0; id < reclaim.size(); id++) reclaim[id] = root_.reclaimable(id);
    index_ = std::make_unique<TreeIndex>(derive_index_of(root_.folder_table(), reclaim));
  }
  return *index_;
}

ReportView ScanView::report_view() const {
  static_assert(std::endian::native == std::endian::little,
                "name_ends is read in place as host integers");
  ReportView v;
  v.root_name = root_name_;
  v.folders = root_.folder_table();
  v.index = &index();
  // The image starts aligned to 8 and the check put name_ends at a
  // multiple of 4, so the array can be used where it lies.
  std::span<const uint8_t> ends = root_.name_ends_bytes();
  v.names = {nullptr, root_.names_bytes(),
             {reinterpret_cast<const uint32_t*>(ends.data()), ends.size() / 4}};
  v.largest_files.reserve(largest_file_count());
  for (uint32_t i = 0; i < largest_file_count(); i++) {
    SavedLargeFile f = largest_file(i);
    v.largest_files.push_back({f.size, f.folder, f.name});
  }
  v.stopped = stopped();
  return v;
}

}  // namespace tallmap
