#include "game/player_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/output_capture.h"

namespace kestrin {
namespace {

class PlayerTablesTest : public ::testing::Test {
 protected:
  int add(std::uint32_t userId, std::uint32_t wonId) {
    int index = addStatus(*tables);
    tables->statusRecords[index].userId = userId;
    tables->statusRecords[index].wonId = wonId;
    return index;
  }

  testing::OutputCapture output;
  std::unique_ptr<PlayerTables> tables = std::make_unique<PlayerTables>();
};

TEST_F(PlayerTablesTest, LookupsTreatZeroAsAnyValue) {
  add(12, 345);
  add(13, 4294967295u);
  add(14, 345);
  EXPECT_EQ(findStatus(*tables, 0, 345), 0);
  EXPECT_EQ(findStatus(*tables, 14, 0), 2);
  EXPECT_EQ(findStatus(*tables, 13, 4294967295u), 1);
  EXPECT_EQ(findStatus(*tables, 13, 345), -1);

  const struct {
    std::uint32_t userId, wonId;
    const char* name;
  } users[] = {{12, 345, "Alice with blanks"}, {13, 99, "Bob"}};
  for (const auto& u : users) {
    UserRecord& row = tables->userRecords[tables->userRecordCount++];
    row.userId = u.userId;
    row.wonId = u.wonId;
    std::strcpy(row.name, u.name);
  }
  EXPECT_TRUE(findUser(*tables, 13, 0));
  EXPECT_FALSE(findUser(*tables, 13, 345));
  // The name is copied whole, or the buffer left alone.
  char name[kPlayerNameSize] = "untouched";
  EXPECT_FALSE(userName(*tables, 12, 999, name));
  EXPECT_STREQ(name, "untouched");
  EXPECT_TRUE(userName(*tables, 0, 345, name));
  EXPECT_STREQ(name, "Alice with blanks");
}

TEST_F(PlayerTablesTest, FreedRowsAreNotFoundAndComeBackClear) {
  for (int i = 0; i < 4; ++i) add(10 + i, 0);
  tables->statusRecords[0].playedWithClient = 1;
  freeStatus(*tables, 0);
  EXPECT_EQ(findStatus(*tables, 10, 0), -1);
  EXPECT_EQ(add(10, 0), 0);
  EXPECT_EQ(tables->statusRecords[0].playedWithClient, 0);

  // The count drops only over free rows at the end.
  const std::uint32_t counts[] = {4, 4, 1, 0, 0};
  const std::uint32_t freed[] = {1, 2, 3, 0, 0};
  for (int i = 0; i < 5; ++i) {
    freeStatus(*tables, freed[i]);
    EXPECT_EQ(tables->statusRecordCount, counts[i]) << i;
  }
}

TEST_F(PlayerTablesTest, FullTableGivesNoRowButStillPrints) {
  for (std::size_t i = 0; i < kMaxStatusRecords; ++i) ASSERT_EQ(add(1 + i, 0), static_cast<int>(i));
  output.clear();
  EXPECT_EQ(addStatus(*tables), -1);
  EXPECT_EQ(output.text(), "Adding status record\n");
  EXPECT_EQ(tables->statusRecordCount, kMaxStatusRecords);
}

}  // namespace
}  // namespace kestrin
