// Segmentation by word frequency, the engine alone, for tests that compare it
// with the Python model. Reads from standard input (strings as "x" and the
// hex of their UTF-8, so that any character passes, the empty string too):
//
//   WORDS  then that many lines: HEX FREQUENCY FORCE_SPLIT(0|1)
//   TOTAL  (the frequencies' total, as the dictionary counts it)
//   HMM    a file of the model's doubles (start[4], trans[4][4], emit[4][20950],
//          states in the order B E M S), or - for none
//   INDEX  1 to walk through the code point index, 0 to walk bytes
//   TEXTS  then that many HEX lines
//
// and again for each case that follows, and writes, for each text, a line with the ends of its pieces without the
// HMM and, with tables, a second line with them with it. A piece that names
// a node must be that node's word; a mismatch ends the program with 1.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.hpp"
#include "route.hpp"

namespace {

std::string from_hex(const std::string &hex) {
    std::string out;
    for (size_t i = 1; i + 1 < hex.size(); i += 2) out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<uint32_t> code_points_of(const std::string &bytes) {
    std::vector<uint32_t> out;
    velarin::decode_word(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), out);
    return out;
}

std::unique_ptr<velarin::HmmTables> read_tables(const std::string &path) {
    if (path == "-") return nullptr;
    auto tables = std::make_unique<velarin::HmmTables>();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr || std::fread(tables.get(), sizeof *tables, 1, f) != 1) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::fclose(f);
    return tables;
}

// The pieces of one text, checked, as a line of ends.
std::string segment(const velarin::TrieStore &store, const velarin::RouteModel &model,
                    const velarin::HmmTables *tables, const std::vector<uint32_t> &text) {
    const auto space = std::make_unique<velarin::RouteSpace>();
    velarin::WorkMeter meter;
    std::vector<velarin::RoutePiece> pieces;
    if (velarin::segment_by_route(store, model, tables, text.data(), text.size(), *space, meter, pieces) !=
        velarin::Status::ok) {
        std::fprintf(stderr, "segmentation failed\n");
        std::exit(1);
    }
    std::string line;
    size_t start = 0;
    for (const velarin::RoutePiece &piece : pieces) {
        if (piece.node >= 0) {
            const std::string word = harness::utf8(std::vector<uint32_t>(text.begin() + long(start), text.begin() + long(piece.end)));
            if (word != std::string(store.nodes[piece.node].word)) {
                std::fprintf(stderr, "a piece names a node that is not its word\n");
                std::exit(1);
            }
        }
        line += (line.empty() ? "" : " ") + std::to_string(piece.end);
        start = piece.end;
    }
    if (start != text.size()) {
        std::fprintf(stderr, "the pieces do not cover the text\n");
        std::exit(1);
    }
    return line;
}

// One case: its dictionary, then its texts; false at the end of the input.
bool run_case() {
    size_t count;
    if (!(std::cin >> count)) return false;
    std::vector<std::string> words(count);
    std::map<std::string, std::pair<int64_t, bool>> entries;
    for (size_t i = 0; i < count; ++i) {
        std::string hex;
        int64_t frequency;
        int force;
        std::cin >> hex >> frequency >> force;
        words[i] = from_hex(hex);
        entries[words[i]] = {frequency, force != 0};
    }
    double total;
    std::string tables_path;
    int index;
    std::cin >> total >> tables_path >> index;
    velarin::TrieStore store{};
    if (harness::build(store, words) != velarin::Status::ok ||
        (index != 0 && store.nodes != nullptr &&
         velarin::build_char_index(store, nullptr, velarin::IndexTables::any) != velarin::Status::ok)) {
        std::fprintf(stderr, "build failed\n");
        std::exit(1);
    }
    auto entry = [&](uint32_t node) { return entries.at(store.nodes[node].word); };
    velarin::RouteModel model;
    if (velarin::build_route_model(store, std::log(total), [&](uint32_t node) { return entry(node).first; },
                                   [&](uint32_t node) { return entry(node).second; }, model) != velarin::Status::ok) {
        std::fprintf(stderr, "model failed\n");
        std::exit(1);
    }
    const auto tables = read_tables(tables_path);
    std::cin >> count;
    for (size_t i = 0; i < count; ++i) {
        std::string hex;
        std::cin >> hex;
        const std::vector<uint32_t> text = code_points_of(from_hex(hex));
        std::printf("%s\n", segment(store, model, nullptr, text).c_str());
        if (tables) std::printf("%s\n", segment(store, model, tables.get(), text).c_str());
    }
    velarin::release(store, harness::free_copy);
    return true;
}

}  // namespace

int main() {
    while (run_case()) {
    }
    return 0;
}
