#include "app/info_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const char kWalker[] =
    "<MODEL_ID>\nWalker\n<COLLIDER_FILE_PATH>\nwalker.cdr\n"
    "<MATERIAL_BEGIN>\n<MATERIAL_NAME> Skin\n<TEXTURE_NAME> tex0\n<DIFFUSE>\n1 1 1 1\n"
    "<MATERIAL_END>\n"
    "<TEXTURE_BEGIN>\n<TEXTURE_ID> tex0\n<TEXTURE_NAME> skin.png\n<TEXTURE_END>\n"
    "<GEOMETRY_BEGIN>\n<GEOMETRY_ID> Body\n<VERTEX_COUNT> 3\n"
    "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> pos\n<FLOAT_ARRAY_FLOAT_COUNT> 3\n"
    "<FLOAT_ARRAY_COUNT> 3\n<FLOAT_ARRAY>\n0 0 0 1 0 0 0 1 0\n<FLOAT_ARRAY_END>\n"
    "<POLYGON_DATA_BEGIN>\n<MATERIAL_ID> Skin\n<VERTEX_ID> pos\n<VERTEX_INDEX_COUNT> 3\n0 1 2\n"
    "<POLYGON_DATA_END>\n<GEOMETRY_END>\n"
    "<BONE_ARRAY>\nRoot Arm\n"
    "<BONE>\n<BONE_NAME> Root\n<BONE_ID> root_id\n<BONE_TYPE> 0\n<CHILD_COUNT> 1\n"
    "<BONE>\n<BONE_NAME> Arm\n<BONE_ID> arm_id\n<CHILD_COUNT> 0\n";

const char kCollider[] =
    "<MODEL_ID>\nWalker\n<GEOMETRY_BEGIN>\n<GEOMETRY_ID> body\n"
    "<COLLIDER_TYPE> COLLIDER_TYPE_CAPSULE\n<R> 0.25\n<GEOMETRY_END>\n";

const char kWalk[] =
    "<TARGET_MODEL_ID>\nWalker\n<ANIMATION_ID>\nWALK\n<ANIMATION_BEGIN>\n<TARGET> arm_id\n"
    "<KEY_TIME>\n0 0.5 1\n<POSE_MATRIX>\n"
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n<POSE_MATRIX_END>\n<ANIMATION_END>\n";

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A folder with the model (and its collider file) in a subfolder and the animations beside it.
class InfoCommand : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("info_command_test_" + std::to_string(::getpid()));
    fs::create_directories(root_ / "model");
    write(root_ / "model" / "walker.mdl", kWalker);
    write(root_ / "model" / "walker.cdr", kCollider);
    write(root_ / "walk.ani", kWalk);
    write(root_ / "other.ani", "<TARGET_MODEL_ID>\nRunner\n");
    start_ = fs::current_path();
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(start_);
    fs::remove_all(root_);
  }

  // Runs the command; returns its exit status, with stdout in `json_` and stderr in `err_`.
  int run(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    testing::internal::CaptureStderr();
    int status = runInfoCommand(args, out);
    err_ = testing::internal::GetCapturedStderr();
    std::rewind(out);
    json_.clear();
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;) json_.append(buf, n);
    std::fclose(out);
    return status;
  }
  bool has(const std::string& fragment) const {
    return json_.find(fragment) != std::string::npos;
  }

  fs::path root_;
  fs::path start_;
  std::string json_;
  std::string err_;
};

TEST_F(InfoCommand, DescribesTheWorkedExampleWithColliderAndAnimation) {
  ASSERT_EQ(run({"model/walker.mdl", "--ani", "walk.ani"}), 0) << err_;
  EXPECT_EQ(err_, "");
  EXPECT_EQ(fs::current_path(), root_);  // restored after the load
  EXPECT_TRUE(has("\"modelId\": \"Walker\"")) << json_;
  EXPECT_TRUE(has("\"colliderFilePath\": \"walker.cdr\""));
  EXPECT_TRUE(has("\"diffuse\": [1, 1, 1, 1]"));
  EXPECT_TRUE(has("\"ambient\": [0, 0, 0, 0]"));
  EXPECT_TRUE(has("\"fileName\": \"skin.png\""));
  EXPECT_TRUE(has("\"bindShapeMatrix\": [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]"));
  EXPECT_TRUE(has("\"id\": \"pos\",\n"));
  EXPECT_TRUE(has("\"tupleSize\": 3,\n"));
  EXPECT_TRUE(has("\"vertexIndices\": {\n"));
  EXPECT_TRUE(has("\"count\": 3,\n"));
  EXPECT_TRUE(has("\"sum\": 3\n"));
  EXPECT_TRUE(has("\"parent\": \"Root\""));
  EXPECT_TRUE(has("\"rootBones\": [\"Root\"]"));
  EXPECT_TRUE(has("\"target\": \"arm_id\""));
  EXPECT_TRUE(has("\"bound\": true"));
  EXPECT_TRUE(has("\"lastKey\": 1,"));
  EXPECT_TRUE(has("\"firstKey\": 0,"));
  EXPECT_TRUE(has("\"poseSum\": 12\n"));
  EXPECT_TRUE(has("\"type\": 3"));
  EXPECT_TRUE(has("\"radius\": 0.25"));
  EXPECT_EQ(json_.back(), '\n');
}

TEST_F(InfoCommand, StringsAreEscapedAndNumbersKeepNineDigits) {
  write(root_ / "odd.mdl",
        "<MODEL_ID>\na\"b\\c\x01\n<MATERIAL_BEGIN>\n<DIFFUSE>\n0.1 1e999 123456789012 "
        "0.00001\n<MATERIAL_END>\n");
  ASSERT_EQ(run({"odd.mdl"}), 0);
  EXPECT_TRUE(has("\"modelId\": \"a\\\"b\\\\c\\u0001\"")) << json_;
  EXPECT_TRUE(has("\"diffuse\": [0.100000001, null, 1.23456791e+11, 9.99999975e-06]")) << json_;
  EXPECT_TRUE(has("\"colliders\": []"));  // no collider file named
}

TEST_F(InfoCommand, FailuresGiveOneLineAndTheirExitStatus) {
  EXPECT_EQ(run({}), 2);
  EXPECT_NE(err_.find("usage: modelviewer --info MODEL"), std::string::npos) << err_;
  EXPECT_EQ(run({"model/walker.mdl", "--ani"}), 2);
  EXPECT_EQ(run({"model/walker.mdl", "--frames", "3"}), 2);
  EXPECT_EQ(run({"a.mdl", "b.mdl"}), 2);
  EXPECT_EQ(json_, "");

  EXPECT_EQ(run({"model/missing.mdl"}), 1);
  EXPECT_EQ(err_, "model/missing.mdl: cannot open: No such file or directory\n");
  write(root_ / "model" / "notes.txt", "plain text");  // neither named nor made as a model is
  EXPECT_EQ(run({"model/notes.txt"}), 1);
  EXPECT_NE(err_.find("model/notes.txt: not a model file"), std::string::npos) << err_;
  EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1);
  EXPECT_EQ(run({"model"}), 1);

  // An animation of another model is reported, not fatal; the model is still described.
  EXPECT_EQ(run({"model/walker.mdl", "--ani", "other.ani"}), 0);
  EXPECT_NE(err_.find("other.ani: animates model \"Runner\""), std::string::npos) << err_;
  EXPECT_TRUE(has("\"animations\": []"));
  EXPECT_EQ(fs::current_path(), root_);
}

}  // namespace
