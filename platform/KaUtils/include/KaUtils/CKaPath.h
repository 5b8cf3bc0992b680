#pragma once

#include <cstddef>
#include <string>

#include <KaUtils/KaUtilsApi.h>

// An owned, zero-terminated character buffer and its length.
class KAUTILS_API CKaString {
 public:
  CKaString();
  explicit CKaString(const std::string& text);
  CKaString(const CKaString& other);
  CKaString& operator=(const CKaString& other);
  ~CKaString();

  // Never null: the empty text when the length is 0.
  const char* c_str() const;
  size_t length() const { return m_nLength; }
  operator std::string() const { return std::string(c_str(), m_nLength); }

 private:
  char* m_pBuffer;
  size_t m_nLength;
};

class KAUTILS_API CKaPath {
 public:
  // `name` inside `directory`, joined by exactly one '/': trailing separators
  // of the directory and leading ones of the name are merged. An empty
  // directory gives the name unchanged; an empty name gives the directory.
  static CKaString Append(const char* directory, const char* name);
};
