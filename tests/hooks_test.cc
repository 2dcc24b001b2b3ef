// hooks_test.cc - the server entry hooks in a program without an
// application: it links against the library's empty type list.

#include <gtest/gtest.h>

#include <string>

#include "fsm/fsm.h"

// Runs first: the one-time set-up must not have run before a valid code.
TEST(Hooks, InvalidCodesCreateNothing) {
  EXPECT_EQ(eq_create(99, nullptr), nullptr);
  EXPECT_EQ(eq_create(102, nullptr), nullptr);
  EXPECT_EQ(norix_init, 0);
  EXPECT_EQ(norix_call, nullptr);
}

TEST(Hooks, WithoutApplicationLocationsHaveAnEmptyState) {
  EXPECT_EQ(init_list, nullptr);
  gbl_fct_name = "pump";
  EqFSMlocation* root = static_cast<EqFSMlocation*>(eq_create(100, nullptr));
  EqCall* call = norix_call;
  ASSERT_NE(call, nullptr);
  EqFSMlocation* part = static_cast<EqFSMlocation*>(eq_create(101, nullptr));
  EXPECT_EQ(norix_call, call);  // made once
  EXPECT_EQ(norix_init, 1);

  // No record named the type: no name, no create, no bind.
  EXPECT_EQ(std::string(root->state_ptr->get_name()), "");
  EXPECT_EQ(root->prop_mux, nullptr);
  EXPECT_EQ(root->fct_code(), 100);
  EXPECT_EQ(part->fct_code(), 101);
  EXPECT_EQ(root->state_ptr->get_root(), root->state_ptr);
  EXPECT_EQ(part->state_ptr->get_root(), nullptr);
  EXPECT_EQ(root->event.state, root->state_ptr);
  delete part;
  delete root;
}

TEST(Hooks, EmptyTypeNameIsReported) {
  gbl_fct_name = "";
  testing::internal::CaptureStdout();
  EqFct* loc = eq_create(101, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "undefined location 101\n");
  delete loc;
  gbl_fct_name = "unknown";
  testing::internal::CaptureStdout();
  loc = eq_create(100, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  delete loc;
}
