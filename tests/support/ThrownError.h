#pragma once

#include "format/TError.h"

#include <QTest>

#include <exception>

namespace testsupport {

// The code of the error Call throws: Unexpected for an exception without a code. A call that
// returns fails the test.
template <typename TCall> shared::EErrorCode thrownErrorCode(TCall Call)
{
    try {
        Call();
    } catch (const std::exception &Error) {
        return shared::errorOf(Error).code;
    }
    QTest::qFail("the call threw nothing", __FILE__, __LINE__);
    return shared::EErrorCode::Unexpected;
}

} // namespace testsupport
