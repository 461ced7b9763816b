#include "line_splitter.h"

namespace tallysend {

void LineSplitter::Restart(const FileId& file, uint64_t offset) {
  file_ = file;
  offset_ = consumed_ = offset;
  partial_.clear();
  first_line_ = offset == 0;
}

// Every CR and every LF ends a line; the empty line between the CR and the
// LF of a CR LF pair is passed over like any other.
void LineSplitter::Emit(std::vector<Line>* out) {
  if (first_line_ && partial_.rfind("\xEF\xBB\xBF", 0) == 0) partial_.erase(0, 3);
  first_line_ = false;
  consumed_ = offset_;
  if (!partial_.empty()) out->push_back({std::move(partial_), consumed()});
  partial_.clear();
}

void LineSplitter::Feed(std::string_view bytes, std::vector<Line>* out) {
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t end = bytes.find_first_of("\r\n", i);
    if (end == std::string_view::npos) {
      partial_.append(bytes.substr(i));
      offset_ += bytes.size() - i;
      return;
    }
    partial_.append(bytes.substr(i, end - i));
    offset_ += end - i + 1;
    Emit(out);
    i = end + 1;
  }
}

void LineSplitter::Finish(std::vector<Line>* out) {
  if (!partial_.empty()) Emit(out);
}

}  // namespace tallysend
