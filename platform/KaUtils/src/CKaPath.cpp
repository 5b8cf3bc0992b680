#include <KaUtils/CKaPath.h>

#include <cstring>

namespace {

char* CopyText(const char* text, size_t length) {
  char* buffer = new char[length + 1];
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return buffer;
}

}  // namespace

CKaString::CKaString() : m_pBuffer(nullptr), m_nLength(0) {}

CKaString::CKaString(const std::string& text)
    : m_pBuffer(CopyText(text.data(), text.size())), m_nLength(text.size()) {}

CKaString::CKaString(const CKaString& other)
    : m_pBuffer(other.m_nLength ? CopyText(other.m_pBuffer, other.m_nLength) : nullptr),
      m_nLength(other.m_nLength) {}

CKaString& CKaString::operator=(const CKaString& other) {
  if (this != &other) {
    char* buffer = other.m_nLength ? CopyText(other.m_pBuffer, other.m_nLength) : nullptr;
    delete[] m_pBuffer;
    m_pBuffer = buffer;
    m_nLength = other.m_nLength;
  }
  return *this;
}

CKaString::~CKaString() { delete[] m_pBuffer; }

const char* CKaString::c_str() const { return m_nLength ? m_pBuffer : ""; }

CKaString CKaPath::Append(const char* directory, const char* name) {
  std::string dir = directory ? directory : "";
  std::string leaf = name ? name : "";
  if (dir.empty()) return CKaString(leaf);
  if (leaf.empty()) return CKaString(dir);

  size_t dirEnd = dir.size();
  while (dirEnd > 1 && dir[dirEnd - 1] == '/') --dirEnd;  // keep a lone "/"
  size_t leafStart = 0;
  while (leafStart < leaf.size() && leaf[leafStart] == '/') ++leafStart;

  std::string joined = dir.substr(0, dirEnd);
  if (joined != "/") joined += '/';
  joined.append(leaf, leafStart, std::string::npos);
  return CKaString(joined);
}
