// Random mutations of valid saved-scan images: check_scan must refuse them
// or accept only images that can then be read completely without faults.
// tests/sanitize.sh runs this under AddressSanitizer and UBSan.

#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/report.h"
#include "core/store.h"
#include "support.h"

using namespace tallmap;

namespace {

// Ino and errno follow from the rest, so that every image varies them.
Folder rec(uint64_t own, FolderId parent, NameId name, uint8_t flags = 0) {
  return folder_record(own, parent, name, parent + 7, flags, flags & DENIED ? 13 : 0);
}

Bytes base_image(int variant) {
  auto names = std::make_shared<NameStore>();
  for (const char* n : {"/root", "a", "bb", "ccc", "a b", "\xff\xfe"}) names->append(n);
  std::vector<Folder> folders = {rec(10, NO_PARENT, 0)};
  std::vector<LargeFile> large;
  std::vector<uint64_t> reclaim;
  if (variant >= 1) {
    folders.push_back(rec(20, 0, 1));
    folders.push_back(rec(30, 0, 2, DENIED));
    folders.push_back(rec(0, 1, 3, OTHER_DEVICE));
    folders.push_back(rec(40, 3, 4));
    folders.push_back(rec(50, 4, 5));
    large = {{900, 2, "movie.mkv"}, {800, 5, "x"}, {700, 0, "disk.img"}};
  }
  if (variant == 2) reclaim = {1, 2, 3, 4, 5, 6};
  auto t = Tree::from_parts(std::move(folders), std::move(large), std::move(reclaim), names,
                            make_link_map(), next_stamp(), variant == 1);
  return *serialize_scan(*t, "/data/root", variant == 2);
}

uint32_t interesting(std::mt19937_64& rng, size_t size) {
  const uint32_t values[] = {0, 1, 2, 3, 4, 7, 8, 24, 48, 0x7FFFFFFF, 0x80000000,
                             0xFFFFFFFF, 0xFFFFFFFE, uint32_t(size), uint32_t(-int32_t(size))};
  if (rng() % 2) return values[rng() % std::size(values)];
  return uint32_t(rng());
}

void mutate(Bytes& b, std::mt19937_64& rng) {
  auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
  switch (rng() % 6) {
    case 0: {  // flip a few bytes
      int n = 1 + int(rng() % 4);
      for (int i = 0; i < n && !b.empty(); i++) b[pick(b.size())] ^= uint8_t(1 + rng() % 255);
      break;
    }
    case 1: {  // copy a range over another place
      if (b.size() < 2) break;
      size_t from = pick(b.size()), to = pick(b.size());
      size_t n = std::min({pick(64) + 1, b.size() - from, b.size() - to});
      std::memmove(&b[to], &b[from], n);
      break;
    }
    case 2: {  // insert or remove a range, shifting everything after it
      size_t at = pick(b.size() + 1);
      if (rng() % 2) {
        size_t n = pick(std::min<size_t>(32, b.size() - at) + 1);
        b.erase(b.begin() + at, b.begin() + at + n);
      } else {
        b.insert(b.begin() + at, pick(16) + 1, uint8_t(rng()));
      }
      break;
    }
    case 3:  // truncate
      b.resize(pick(b.size() + 1));
      break;
    case 4: {  // a length or offset of the root record
      if (b.size() < 52) break;
      size_t field = b.size() - 52 + 4 * pick(12);
      uint32_t v = rng() % 2 ? interesting(rng, b.size()) : uint32_t(int32_t(b[field]) + int(pick(17)) - 8);
      poke32(b, field, v);
      break;
    }
    default: {  // any aligned word
      if (b.size() < 8) break;
      poke32(b, 4 * pick(b.size() / 4 - 1), interesting(rng, b.size()));
      break;
    }
  }
}

// Reads everything an accepted image offers, the way every user does.
void read_everything(const Bytes& image, const ScanRoot& root) {
  uint64_t sum = 0;
  for (FolderId i = 0; i < root.folder_count(); i++) {
    Folder f = root.folder(i);
    if (i > 0) {
      ASSERT_LT(f.parent, i);
      ASSERT_FALSE(root.stored_name(f.name).empty());
    }
    sum += f.own + root.reclaimable(i);
  }
  for (NameId id = 1; id < root.name_count(); id++) sum += root.stored_name(id).size();
  for (uint32_t i = 0; i < root.largest_file_count(); i++) {
    SavedLargeFile f = root.largest_file(i);
    ASSERT_LT(f.folder, root.folder_count());
    for (char c : f.name) sum += uint8_t(c);
  }
  for (char c : root.path()) sum += uint8_t(c);

  auto tree = tree_from_scan(root, root.path());
  ASSERT_EQ(tree->folder_count(), root.folder_count());
  const TreeIndex& index = tree->index();
  for (FolderId i = 0; i < tree->folder_count(); i++) sum += tree->path_bytes(i).size() + index.totals[i];

  auto view_opt = ScanView::check(ScanImage::from_buffer(image), "shown");
  ASSERT_TRUE(view_opt);
  const ScanView& view = *view_opt;
  ReportView rv = view.report_view();
  std::string text = text_report(rv, false, 10);
  EXPECT_FALSE(text.empty());
  for (FolderId i = 0; i < view.folder_count(); i++) sum += view_path(rv, i).size();
  EXPECT_GT(sum, 0u);
}

}  // namespace

TEST(StoreFuzz, MutatedImagesAreRefusedOrReadSafely) {
  std::mt19937_64 rng(20240611);
  const Bytes bases[] = {base_image(0), base_image(1), base_image(2)};
  for (const Bytes& b : bases) ASSERT_TRUE(check_scan(b));
  size_t accepted = 0, checksum_ok = 0;
  for (int iter = 0; iter < 100000; iter++) {
    Bytes b = bases[rng() % 3];
    int rounds = 1 + int(rng() % 3);
    for (int r = 0; r < rounds; r++) mutate(b, rng);
    // Mostly fix the checksum, or nearly nothing would get past it.
    if (rng() % 8) {
      reseal(b);
      checksum_ok++;
    }
    auto root = check_scan(b);
    if (!root) continue;
    accepted++;
    read_everything(b, *root);
    if (HasFatalFailure()) FAIL() << "at iteration " << iter;
  }
  // The read path above must actually have been exercised.
  EXPECT_GT(accepted, 100u);
  EXPECT_LT(accepted, checksum_ok);
}

TEST(StoreFuzz, RandomBytesWithAValidFrameAreRefusedOrReadSafely) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 5000; iter++) {
    Bytes b(12 + rng() % 300);
    for (auto& c : b) c = uint8_t(rng());
    std::memcpy(b.data(), "TMAP\x07", 5);
    reseal(b);
    auto root = check_scan(b);
    if (root) read_everything(b, *root);
  }
}
