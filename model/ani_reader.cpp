#include "model/ani_reader.h"

#include <cstdio>
#include <memory>

#include "model/block_reader.h"
#include "model/model_data.h"
#include "platform/line_reader.h"
#include "platform/number_text.h"
#include "platform/text.h"

namespace {

using blocks::BlockReader;

constexpr std::size_t kKeyTimeUnits = 40000;
constexpr std::size_t kPoseLineBytes = 1024;

// Reads the pose lines after "POSE_MATRIX" up to the "POSE_MATRIX_END" line (consumed) or the
// end of the file. Poses go to `poses` when it is not null.
void readPoses(BlockReader& reader, std::vector<Matrix4>* poses) {
  std::string_view line;
  while (reader.readLine(kPoseLineBytes, line)) {
    std::string_view first;
    text::forEachToken(line, std::string_view(" []<>\n"), [&](std::string_view token) {
      first = token;
      return false;
    });
    if (first == "POSE_MATRIX_END") return;
    if (poses == nullptr) continue;
    Matrix4 pose{};
    std::size_t got = 0;
    text::forEachDoubleToken(line, [&](double value) {
      if (got >= pose.size()) return false;
      pose[got++] = static_cast<float>(value);
      return true;
    });
    poses->push_back(pose);
  }
}

class AniReader {
 public:
  AniReader(ModelData& model, text::LineReader& lines) : model_(model), reader_(lines) {}

  // Returns false, with `problem` set, when the file names another model.
  bool run(std::string& problem);

 private:
  ModelData& model_;
  BlockReader reader_;
};

bool AniReader::run(std::string& problem) {
  auto animation = std::make_unique<AnimationSet>();
  // The current track stays current after its "ANIMATION_END" (later lines still fill it), but
  // it is appended only once. Keyword lines of a track met before any "ANIMATION_BEGIN" still
  // consume their lines, so the rest of the file stays in step; their values are dropped.
  std::unique_ptr<BoneTrack> open;  // the current track until it is appended
  BoneTrack* track = nullptr;
  while (reader_.nextKeywordLine(blocks::kOuterSeparators)) {
    if (reader_.is(u"TARGET_MODEL_ID")) {
      std::u16string target = reader_.readValueLine();
      if (!text::sameName(target, model_.modelId)) {
        problem = "animates model \"" + text::toUtf8(target) + "\", not \"" +
                  text::toUtf8(model_.modelId) + "\"";
        return false;
      }
    } else if (reader_.is(u"ANIMATION_ID")) {
      animation->id = reader_.readValueLine();
    } else if (reader_.is(u"ANIMATION_BEGIN")) {
      open = std::make_unique<BoneTrack>();
      track = open.get();
    } else if (reader_.is(u"TARGET")) {
      if (track != nullptr) {
        track->target = reader_.value();
        track->bone = model_.findBoneById(track->target);
      }
    } else if (reader_.is(u"KEY_TIME")) {
      for (const auto& time : reader_.readNameLine(kKeyTimeUnits)) {
        if (track == nullptr) break;
        track->keyTimes.push_back(text::parseFloat(text::toUtf8(time)));
      }
    } else if (reader_.is(u"POSE_MATRIX")) {
      readPoses(reader_, track != nullptr ? &track->poses : nullptr);
    } else if (reader_.is(u"ANIMATION_END")) {
      if (open) animation->tracks.push_back(std::move(open));
    }
  }
  if (open && problem.empty()) problem = "the file ends inside a track, which is left out";
  model_.animations.push_back(std::move(animation));
  return true;
}

}  // namespace

bool readAni(ModelData& model, const std::filesystem::path& fileName) {
  text::LineReader lines;
  std::string error;
  if (!lines.open(fileName, &error)) {
    std::fprintf(stderr, "%s: cannot open: %s\n", fileName.c_str(), error.c_str());
    return false;
  }
  std::string problem;
  bool ok = AniReader(model, lines).run(problem);
  if (!problem.empty()) std::fprintf(stderr, "%s: %s\n", fileName.c_str(), problem.c_str());
  return ok;
}

bool readAniText(ModelData& model, std::string bytes, std::string* problem) {
  text::LineReader lines;
  lines.openBytes(std::move(bytes));
  std::string message;
  bool ok = AniReader(model, lines).run(message);
  if (problem != nullptr) *problem = std::move(message);
  return ok;
}
