// Driver sets: membership, the whole-set operations, and foreach's copy of
// the mask that makes editing the set from the callback safe.
#include <gtest/gtest.h>

#include <vector>

#include "netlane.h"

namespace {

struct Visit {
  std::vector<int> seen;
  NET_DRIVERLIST list;
  int stop_at;
};

int visit(int driver, void *dat)
{
  Visit *v = static_cast<Visit *>(dat);
  v->seen.push_back(driver);
  // Edit the set being walked: drop every later member, add a new one.
  for (int n = driver + 1; n < 32; n++) net_driverlist_remove(v->list, n);
  net_driverlist_add(v->list, 30);
  return driver == v->stop_at;
}

}  // namespace

TEST(DriverSets, MembershipAndWholeSetOperations)
{
  NET_DRIVERLIST a = net_driverlist_create();
  NET_DRIVERLIST b = net_driverlist_create();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(net_driverlist_count(a), 0);
  EXPECT_EQ(net_driverlist_add(a, 0), 1);
  EXPECT_EQ(net_driverlist_add(a, 31), 1);  // the top bit of the mask
  EXPECT_EQ(net_driverlist_add(a, 5), 1);
  EXPECT_EQ(net_driverlist_test(a, 31), 1);
  EXPECT_EQ(net_driverlist_test(a, 30), 0);
  EXPECT_EQ(net_driverlist_count(a), 3);

  net_driverlist_add(b, 5);
  net_driverlist_add(b, 7);
  EXPECT_EQ(net_driverlist_add_list(a, b), 1);
  EXPECT_EQ(net_driverlist_count(a), 4);
  EXPECT_EQ(net_driverlist_remove_list(a, b), 1);
  EXPECT_EQ(net_driverlist_count(a), 2);
  EXPECT_EQ(net_driverlist_test(a, 5), 0);
  EXPECT_EQ(net_driverlist_remove(a, 0), 1);
  EXPECT_EQ(net_driverlist_test(a, 0), 0);
  EXPECT_EQ(net_driverlist_clear(a), 1);
  EXPECT_EQ(net_driverlist_count(a), 0);

  // Numbers that have no bit are never members and change nothing.
  net_driverlist_add(a, 32);
  net_driverlist_add(a, -1);
  EXPECT_EQ(net_driverlist_count(a), 0);
  EXPECT_EQ(net_driverlist_test(a, 32), 0);
  net_driverlist_destroy(a);
  net_driverlist_destroy(b);
}

TEST(DriverSets, ForeachVisitsTheMembersAtItsStartInOrder)
{
  NET_DRIVERLIST list = net_driverlist_create();
  for (int n : {3, 1, 2, 31}) net_driverlist_add(list, n);

  Visit v{{}, list, -1};
  EXPECT_EQ(net_driverlist_foreach(list, visit, &v), 1);
  EXPECT_EQ(v.seen, (std::vector<int>{1, 2, 3, 31}));  // removed ones still seen, 30 not
  EXPECT_EQ(net_driverlist_test(list, 30), 1);

  // A callback answering nonzero stops the walk.
  net_driverlist_clear(list);
  for (int n : {1, 2, 3}) net_driverlist_add(list, n);
  Visit stop{{}, list, 2};
  EXPECT_EQ(net_driverlist_foreach(list, visit, &stop), 0);
  EXPECT_EQ(stop.seen, (std::vector<int>{1, 2}));
  net_driverlist_destroy(list);
}
