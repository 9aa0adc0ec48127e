// The user-mode file system library on Linux: DokanMain and DokanUnmount (declared in
// drive/Dokan.h) on top of libfuse3's multi-threaded loop. Only this module includes fuse.h.
//
// Each FUSE request becomes the callback sequence a Windows drive would receive:
//
//   FUSE request          callbacks
//   --------------------  -------------------------------------------------------------------
//   getattr (no file)     GetFileInformation with no context: answered from the node by name
//   getattr (open file)   GetFileInformation on the open's context
//   opendir / releasedir  ZwCreateFile(FILE_OPEN, directory) / Cleanup, CloseFile
//   readdir               FindFiles, entries handed to the fill function (with their stat)
//   open / create         ZwCreateFile (FILE_OPEN, FILE_OVERWRITE for O_TRUNC; FILE_CREATE for
//                         O_EXCL, else FILE_OPEN_IF / FILE_OVERWRITE_IF)
//   read / write          ReadFile / WriteFile (WriteToEndOfFile for O_APPEND opens)
//   flush (each close),   FlushFileBuffers: what the open wrote is sent now (fsync: also a
//   fsync                 creation or truncation), so close(2) and fsync(2) return after the
//                         server has the content, or fail with it
//   release               Cleanup (the rest of the closing work: a creation or truncation that
//                         no write followed is sent now), then CloseFile
//   truncate              SetEndOfFile (by name: ZwCreateFile, SetEndOfFile, Cleanup, CloseFile)
//   unlink                ZwCreateFile(delete on close), DeleteFile, Cleanup, CloseFile
//   rmdir                 ZwCreateFile(directory), DeleteDirectory, Cleanup, CloseFile
//   mkdir                 ZwCreateFile(FILE_CREATE, directory), Cleanup, CloseFile
//   rename                ZwCreateFile, MoveFile(replace unless RENAME_NOREPLACE), Cleanup,
//                         CloseFile
//   utimens / chmod /     SetFileTime / SetFileAttributes: accepted; statfs answers a large free
//   statfs                space (the GetDiskFreeSpace slot is empty)
//
// Outcomes: Cleanup returns nothing, so it leaves its outcome in DOKAN_FILE_INFO::_CleanupStatus;
// a request made of open, act and close (unlink, rename, truncate by name) answers with it.
// O_TRUNC opens are atomic (one request), names longer than 255 bytes are ENAMETOOLONG.
//
// The per-open DOKAN_FILE_INFO lives in a TOpenFile whose address is the FUSE file handle
// (fuse_file_info::fh); its mutex guards the context, since flush, I/O after a flush (which
// reopens first) and the unmount's closing work may meet. A request that has no open file uses
// a DOKAN_FILE_INFO of its own on the stack. Every callback gets the options record given to
// DokanMain. NT statuses become errno in one place (StatusToErrno).
//
// Mount points: "X:" is the folder <home>/Zelvo/X (home from $HOME), an absolute path is used as
// it is; either is created when missing, and a stale mount left there by a crashed run is
// cleaned first. The drive letter of a mount is the letter of "X:" or the last part of the path
// when that is one letter. The mount's file-system name is the volume label.
// DOKAN_OPTION_WRITE_PROTECT mounts read-only: the kernel answers EROFS to every change.
// New names holding "\ : * ? " < > |", and paths that are not UTF-8, are refused with EINVAL.
//
// DokanUnmount runs the closing work of every open file and takes the mount down (TakeDown);
// DokanMain runs the closing work once more for files still open when the loop has ended, so
// nothing written is lost.
#pragma once

#include <cerrno>

#include "drive/Dokan.h"

namespace zelvo {

int StatusToErrno(NTSTATUS aStatus);

} // namespace zelvo
