// A root object over a scripted I/O session, initialised (no identity check, no reset) with the
// session's connect script used up and its record of sent commands emptied.
#pragma once

#include "support/ScriptedIoSession.h"
#include "com/Objects.h"

#include <gtest/gtest.h>

#include <memory>

namespace korvane::test {

// Call through ASSERT_NO_FATAL_FAILURE: a failed step ends the test.
template <typename Session>
void InitializeScripted(std::unique_ptr<Session> io, ComPtr<IKorvane8>& root) {
  Session& session = *io;
  root.Reset();
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid(), std::move(io)));
  ASSERT_EQ(S_OK, root->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr("")));
  ASSERT_TRUE(session.AllConsumed());
  session.sent.clear();
}

}  // namespace korvane::test
