// The version every program prints for --version: the release number and,
// when built from a git checkout, the source revision ("1.0.0 (efac591d2c1a)",
// with "-dirty" when the tree had uncommitted changes).
#pragma once

namespace dlm {

const char* source_version();

}  // namespace dlm
