#include "OperationLog.h"

namespace XtraBackup {
namespace detail {

void CheckLogFormat(const char*, ...) {}

}  // namespace detail
}  // namespace XtraBackup
