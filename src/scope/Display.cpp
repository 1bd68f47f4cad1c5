// Display, memory and cursor members with logic of their own: the screen image as the
// instrument's bytes, saving and recalling files on the instrument, and the cursors' reference.
#include "com/Objects.h"

#include <korvane/ComHelpers.h>

#include <string>

namespace korvane {

// The image arrives as one definite-length block in the format asked for (BMP or PNG); its bytes
// are handed over as they are. While simulating there is no screen: an empty array.
HRESULT Impl_IKorvaneDisplay_GetScreenBitmap(CKorvane& self, KorvaneDisplayImageFormatEnum, KorvaneDisplayPaletteEnum,
                                             SAFEARRAY** Val) {
  SafeArrayPtr image;
  if (self.Simulate()) {
    image = SafeArrayPtr(SafeArrayCreateVector(VT_UI1, 0, 0));
    if (!image) return self.Reporter().OutOfMemory("Could not allocate SAFEARRAY memory for GetScreenBitmap.");
  } else if (HRESULT hr = self.GenericQuery(self.PendingCommand(), "%$Sb", image.Receive()); FAILED(hr)) {
    return hr;
  }
  if (*Val) SafeArrayDestroy(*Val);
  *Val = image.Detach();
  return S_OK;
}

namespace {

// The file name travels inside double quotes: an empty name, or one holding a quote or a line
// end, could not be read back as one string by the instrument and is refused before anything is
// sent.
HRESULT SendWithFileName(CKorvane& self, const char* method, BSTR fileName) {
  const std::string name = ToNarrow(fileName);
  if (name.empty() || name.find_first_of("\"\r\n") != std::string::npos)
    return self.Reporter().InvalidValue(method, "FileName", fileName,
                                        "The file name must be non-empty and hold no double quote or line end.");
  if (self.Simulate()) return S_OK;
  return self.GenericWrite(self.PendingCommand());
}

}  // namespace

HRESULT Impl_IKorvaneMemory_Save(CKorvane& self, KorvaneMemorySaveOptionsEnum, BSTR FileName) {
  return SendWithFileName(self, "Save", FileName);
}

HRESULT Impl_IKorvaneMemory_Recall(CKorvane& self, KorvaneMemoryRecallOptionsEnum, BSTR FileName) {
  return SendWithFileName(self, "Recall", FileName);
}

// The X cursors set the reference of the time-axis units, the Y cursors that of the vertical
// units; the token names the cursor whose position becomes the reference.
HRESULT Impl_IKorvaneCursors2_UseCursorPosition(CKorvane& self, KorvaneCursorsUseCursorPositionEnum Cursor) {
  const bool x = Cursor == KorvaneCursorsUseCursorPositionX1 || Cursor == KorvaneCursorsUseCursorPositionX2;
  const bool y = Cursor == KorvaneCursorsUseCursorPositionY1 || Cursor == KorvaneCursorsUseCursorPositionY2;
  if (!x && !y)
    return self.Reporter().InvalidValue("UseCursorPosition", "Cursor", static_cast<LONG>(Cursor), "%d", nullptr);
  if (self.Simulate()) return S_OK;
  std::string command;
  HRESULT hr = self.FormatCommand(&command,
                                  x ? ":MARK:XUN:USE %{KorvaneCursorsUseCursorPositionEnum}s"
                                    : ":MARK:YUN:USE %{KorvaneCursorsUseCursorPositionEnum}s",
                                  static_cast<LONG>(Cursor));
  return FAILED(hr) ? hr : self.GenericWrite(command);
}

}  // namespace korvane
