// Build-time tool: makes a QuickTime component file from a linked library and a registration
// description.
//
//   make_qtx DESCRIPTION IMAGE OUTPUT
//
// OUTPUT is the library image unchanged, then the resources of DESCRIPTION as a resource fork,
// then zero padding and the trailer records by which QuickTime finds the fork (layout in
// nleplugin/link/hx_resource_fork.h). The description's syntax is explained at the top of
// nleplugin/quillex/quillex_registration.txt.
#include "hx_resource_fork.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct resource {
    uint32_t type = 0;
    uint16_t id = 0;
    bytes data;
};

bool fail(const std::string& what)
{
    std::fprintf(stderr, "make_qtx: %s\n", what.c_str());
    return false;
}

// Words of a line: blanks separate, double quotes keep blanks, '#' at a word's start ends the line.
bool split_line(const std::string& line, std::vector<std::string>& words, int number)
{
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '#')
            break;
        if (line[i] == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                return fail("line " + std::to_string(number) + ": unterminated string");
            words.push_back(line.substr(i, end + 1 - i));
            i = end + 1;
            continue;
        }
        size_t end = i;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])))
            ++end;
        words.push_back(line.substr(i, end - i));
        i = end;
    }
    return true;
}

std::string unquote(const std::string& word)
{
    return word.size() >= 2 && word.front() == '"' ? word.substr(1, word.size() - 2) : word;
}

bool four_char_code(const std::string& word, uint32_t& code)
{
    const std::string text = unquote(word);
    if (text.size() != 4)
        return false;
    code = 0;
    for (char c : text)
        code = (code << 8) | static_cast<uint8_t>(c);
    return true;
}

bool number(const std::string& word, long long low, long long high, long long& value)
{
    char* end = nullptr;
    value = std::strtoll(word.c_str(), &end, 0);
    return end != word.c_str() && *end == 0 && value >= low && value <= high;
}

void put(bytes& out, uint32_t v, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

bool parse(const std::string& text, std::vector<resource>& resources)
{
    std::istringstream in(text);
    std::string line;
    int number_of_line = 0;
    std::vector<std::string> words;
    while (std::getline(in, line)) {
        ++number_of_line;
        if (!split_line(line, words, number_of_line))
            return false;
    }
    const std::string where = "description";
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool has_value = i + 1 < words.size();
        long long v = 0;
        if (w == "resource") {
            uint32_t type = 0;
            if (i + 2 >= words.size() || !four_char_code(words[i + 1], type) ||
                !number(words[i + 2], 0, 32767, v))
                return fail(where + ": 'resource' wants a type and an ID");
            resources.push_back({type, static_cast<uint16_t>(v), {}});
            i += 2;
            continue;
        }
        if (resources.empty())
            return fail(where + ": '" + w + "' before the first resource");
        bytes& data = resources.back().data;
        if (!has_value)
            return fail(where + ": '" + w + "' wants a value");
        const std::string& value = words[++i];
        if (w == "type") {
            uint32_t code = 0;
            if (!four_char_code(value, code))
                return fail(where + ": '" + value + "' is not a four-character code");
            put(data, code, 4);
        } else if (w == "long" && number(value, INT32_MIN, UINT32_MAX, v)) {
            put(data, static_cast<uint32_t>(v), 4);
        } else if (w == "short" && number(value, INT16_MIN, UINT16_MAX, v)) {
            put(data, static_cast<uint32_t>(v), 2);
        } else if (w == "byte" && number(value, INT8_MIN, UINT8_MAX, v)) {
            put(data, static_cast<uint32_t>(v), 1);
        } else if (w == "pstring" && value.front() == '"' && value.size() - 2 <= 255) {
            const std::string s = unquote(value);
            data.push_back(static_cast<uint8_t>(s.size()));
            data.insert(data.end(), s.begin(), s.end());
        } else if (w == "cstring" && value.front() == '"') {
            const std::string s = unquote(value);
            data.insert(data.end(), s.begin(), s.end());
            data.push_back(0);
        } else {
            return fail(where + ": cannot read '" + w + " " + value + "'");
        }
    }
    if (resources.empty())
        return fail(where + ": no resources");
    return true;
}

template <class Record> void append(bytes& out, const Record& record)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    out.insert(out.end(), p, p + sizeof record);
}

// Data in description order; one type-list entry per type, in order of first appearance,
// with its references in description order.
bytes make_fork(const std::vector<resource>& resources)
{
    bytes data;
    std::vector<uint32_t> offsets;
    for (const resource& r : resources) {
        offsets.push_back(static_cast<uint32_t>(data.size()));
        put(data, static_cast<uint32_t>(r.data.size()), 4);
        data.insert(data.end(), r.data.begin(), r.data.end());
    }

    std::vector<uint32_t> types;
    for (const resource& r : resources) {
        bool seen = false;
        for (uint32_t t : types)
            seen = seen || t == r.type;
        if (!seen)
            types.push_back(r.type);
    }

    const uint32_t type_list_size = 2 + static_cast<uint32_t>(types.size() * sizeof(hx_fork_type_entry));
    const uint32_t map_length = sizeof(hx_fork_map_header) + type_list_size +
                                static_cast<uint32_t>(resources.size() * sizeof(hx_fork_reference));

    hx_fork_header header{};
    header.data_offset.set(hx_fork_data_start);
    header.map_offset.set(hx_fork_data_start + static_cast<uint32_t>(data.size()));
    header.data_length.set(static_cast<uint32_t>(data.size()));
    header.map_length.set(map_length);

    bytes fork;
    append(fork, header);
    fork.resize(hx_fork_data_start, 0);
    fork.insert(fork.end(), data.begin(), data.end());

    hx_fork_map_header map{};
    map.header_copy = header;
    map.type_list_offset.set(sizeof(hx_fork_map_header));
    map.name_list_offset.set(static_cast<uint16_t>(map_length));  // no names
    append(fork, map);

    put(fork, static_cast<uint32_t>(types.size() - 1), 2);
    uint32_t reference_offset = type_list_size;
    for (uint32_t type : types) {
        uint16_t count = 0;
        for (const resource& r : resources)
            count = static_cast<uint16_t>(count + (r.type == type));
        hx_fork_type_entry entry{};
        entry.type.set(type);
        entry.count_minus_one.set(static_cast<uint16_t>(count - 1));
        entry.reference_list_offset.set(static_cast<uint16_t>(reference_offset));
        append(fork, entry);
        reference_offset += count * static_cast<uint32_t>(sizeof(hx_fork_reference));
    }
    for (uint32_t type : types) {
        for (size_t i = 0; i < resources.size(); ++i) {
            if (resources[i].type != type)
                continue;
            hx_fork_reference reference{};
            reference.id.set(resources[i].id);
            reference.name_offset.set(hx_fork_no_name);
            reference.data_offset.set(offsets[i]);
            append(fork, reference);
        }
    }
    return fork;
}

bool read_all(const char* path, bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail(std::string("cannot read ") + path);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool run(const char* description_path, const char* image_path, const char* output_path)
{
    bytes description, image;
    if (!read_all(description_path, description) || !read_all(image_path, image))
        return false;
    std::vector<resource> resources;
    if (!parse(std::string(description.begin(), description.end()), resources))
        return false;
    const bytes fork = make_fork(resources);
    if (fork.size() > 0xFFFFFF || image.size() > 0x7FFFFFFF)
        return fail("image or fork too large");

    bytes file = image;
    file.insert(file.end(), fork.begin(), fork.end());
    file.resize(file.size() + hx_fork_padding(file.size()) + sizeof(hx_fork_trailer_record), 0);
    hx_fork_trailer_record data_record{}, fork_record{};
    data_record.type.set(0x64617461);  // 'data'
    data_record.offset.set(0);
    data_record.length.set(static_cast<uint32_t>(image.size()));
    fork_record.type.set(0x72737263);  // 'rsrc'
    fork_record.offset.set(static_cast<uint32_t>(image.size()));
    fork_record.length.set(static_cast<uint32_t>(fork.size()));
    append(file, data_record);
    append(file, fork_record);
    file.insert(file.end(), std::begin(hx_fork_magic), std::end(hx_fork_magic));

    std::ofstream out(output_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!out.good()) {
        out.close();
        std::remove(output_path);
        return fail(std::string("cannot write ") + output_path);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_qtx DESCRIPTION IMAGE OUTPUT\n");
        return 2;
    }
    return run(argv[1], argv[2], argv[3]) ? 0 : 1;
}
