#include "vozidiri/pack_factory.h"

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace rk {
namespace {

using testutil::CTempDir;
using testutil::makePack;
using testutil::readFile;
using testutil::writeFile;

TEST(PackFactoryTest, ReadsEachReadableEntryByItsPath) {
  CTempDir dir;
  const std::string big(300000, 'b');  // deflates to a few hundred bytes
  makePack(dir / "p.zq", {{"top.db", "deflated"},
                          {"sub/", ""},
                          {"sub/inner.db", "stored", true},
                          {"sub/big.db", big},
                          {"empty.db", ""},
                          {"locked.db", "encrypted", false, true},
                          {"bad.db", "CORRUPT-ME-PLEASE", true}});
  // Damage the stored entry's bytes: its CRC no longer matches.
  std::string bytes = readFile(dir / "p.zq");
  bytes.replace(bytes.find("CORRUPT-ME-PLEASE"), 7, "DAMAGED");
  writeFile(dir / "p.zq", bytes);

  TRefPointer<CPackFactory> pack = CPackFactory::open(dir / "p.zq");
  ASSERT_TRUE(pack);
  const std::pair<std::string, std::string> cases[] = {
      {"top.db", "deflated"},       {"sub/inner.db", "stored"}, {"sub\\inner.db", "stored"},
      {"./sub/inner.db", "stored"}, {"sub/big.db", big},        {"empty.db", ""},
      {"sub/", "<none>"},           {"inner.db", "<none>"},     {"Top.db", "<none>"},
      {"locked.db", "<none>"},      {"bad.db", "<none>"},       {"", "<none>"},
  };
  for (const auto& [name, content] : cases)
    EXPECT_EQ(testutil::contentOf(*pack, name), content) << name;

  EXPECT_EQ(pack->diskPath("top.db"), "") << "entries are no plain files";
  EXPECT_FALSE(pack->prepareWrite("top.db", 0));
  EXPECT_FALSE(pack->openWrite("new.db", CStream::eBinary)) << "packs are never written";
}

}  // namespace
}  // namespace rk
