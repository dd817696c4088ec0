// The canonical dump text of a record, written here independently of the
// product's dump writer so that tests and fuzz checks compare against a
// second, plain implementation of the format.
#ifndef KOV_TESTS_DUMP_TEXT_H
#define KOV_TESTS_DUMP_TEXT_H

#include <string>

namespace kovtest {

// A field body: bytes 0x20-0x7E other than '"' and '\' as themselves, every
// other byte as \XX with upper-case digits.
inline std::string canonical_body(const std::string &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// One record in the canonical four-line form.
inline std::string canonical_record(const std::string &key, const std::string &value)
{
    return "{\nkey(" + std::to_string(key.size()) + ") = \"" + canonical_body(key) +
           "\"\nvalue(" + std::to_string(value.size()) + ") = \"" + canonical_body(value) +
           "\"\n}\n";
}

}  // namespace kovtest

#endif
