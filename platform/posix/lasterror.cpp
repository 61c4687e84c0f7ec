#include "lasterror.h"

#include "textcodec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

namespace winapi::posix {

namespace {

struct TLastError {
    DWORD Code = ERROR_SUCCESS;
    std::string Cause;
};

thread_local TLastError tLastError;

struct TMessage {
    DWORD Code;
    const char* Text;
};

// Our own wording of every code this backend produces, in the manner of the system's texts.
constexpr TMessage Messages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for "
                        "deletion."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_INVALID_THREAD_ID, "The thread identifier is invalid."},
    {ERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
};

const char* MessageText(DWORD Code) {
    const auto Found =
        std::find_if(std::begin(Messages), std::end(Messages),
                     [Code](const TMessage& Message) { return Message.Code == Code; });
    return Found != std::end(Messages) ? Found->Text : nullptr;
}

// glibc offers the GNU form of strerror_r (returns the text) or the POSIX one (fills Buffer);
// overloads on the result pick whichever the headers declare.
[[maybe_unused]] std::string StrerrorResult(const char* Text, const char*) {
    return Text;
}

[[maybe_unused]] std::string StrerrorResult(int Result, const char* Buffer) {
    return Result == 0 ? std::string(Buffer) : std::string();
}

} // namespace

void SetLastErrorCode(DWORD Code) {
    tLastError.Code = Code;
    tLastError.Cause.clear();
}

void SetLastErrorCause(DWORD Code, std::string Cause) {
    tLastError.Code = Code;
    tLastError.Cause = std::move(Cause);
}

void SetLastErrorFromErrno(int Errno, const std::string& Subject) {
    const std::string Prefix = Subject.empty() ? "The system reports" : Subject;
    SetLastErrorCause(ErrorFromErrno(Errno), Prefix + ": " + ErrnoText(Errno));
}

DWORD LastErrorCode() {
    return tLastError.Code;
}

DWORD ErrorFromErrno(int Errno) {
    switch (Errno) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENXIO:
    case ENODEV:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOTTY:
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::string ErrnoText(int Errno) {
    char Buffer[256] = {};
    return StrerrorResult(strerror_r(Errno, Buffer, sizeof(Buffer)), Buffer);
}

NTSTATUS StatusFromErrno(int Errno) {
    switch (Errno) {
    case EIO:
    case ENXIO:
    case ENODEV:
        // A device that is unplugged, or a pseudo-terminal whose other end has gone.
        return STATUS_DEVICE_NOT_CONNECTED;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

DWORD ErrorFromStatus(NTSTATUS Status) {
    switch (Status) {
    case STATUS_SUCCESS:
    case STATUS_TIMEOUT: // a serial transfer cut short by its time-out succeeds
        return ERROR_SUCCESS;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_DEVICE_NOT_CONNECTED:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::u16string ErrorMessage(DWORD Code) {
    const char* Text = MessageText(Code);
    if (Text == nullptr) {
        return {};
    }
    std::string Message = Text;
    if (Code == tLastError.Code && !tLastError.Cause.empty()) {
        Message += " " + tLastError.Cause + ".";
    }
    return FromUtf8(Message + "\r\n");
}

} // namespace winapi::posix
