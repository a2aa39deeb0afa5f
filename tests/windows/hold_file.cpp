// Holds a file open from another process, the way an editor or a second run
// would, until the test creates the release file.
//   hold_file FILE read|write RELEASE
// read: read access; write: write access. The holder itself lets anybody in,
// so only the other side's share mode can keep the two apart. Prints "held"
// once the file is open; exit code 0 after release, 3 when the open failed,
// 4 when no release came within a minute.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  bool write = argv[2][0] == 'w';
  HANDLE file = CreateFileA(argv[1], write ? GENERIC_WRITE : GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "held\r\n", 6, &written, nullptr);
  for (int waited = 0; waited < 60000; waited += 20) {
    if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) {
      CloseHandle(file);
      return 0;
    }
    Sleep(20);
  }
  return 4;
}
