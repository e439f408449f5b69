#include "model/ani_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "model/mdl_reader.h"
#include "model/model_data.h"

namespace {

const char kModel[] =
    "<MODEL_ID>\nWalker\n<BONE_ARRAY>\nRoot Arm\n"
    "<BONE>\n<BONE_NAME> Root\n<BONE_ID> root_id\n<CHILD_COUNT> 1\n"
    "<BONE>\n<BONE_NAME> Arm\n<BONE_ID> arm_id\n<CHILD_COUNT> 0\n";

const char kPoses[] =
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
    "2 0 0 0 0 2 0 0 0 0 2 0 0 0 0 1\n"
    "3 0 0 0 0 3 0 0 0 0 3 0 0 0 0 1\n";

// The worked example: one track for arm_id with three keys.
const std::string kWalk = std::string(
                              "<TARGET_MODEL_ID>\nWalker\n<ANIMATION_ID>\nWALK\n<ANIMATION_BEGIN>\n"
                              "<TARGET> arm_id\n<KEY_TIME>\n0 0.5 1\n<POSE_MATRIX>\n") +
                          kPoses + "<POSE_MATRIX_END>\n<ANIMATION_END>\n";

class AniReader : public testing::Test {
 protected:
  void SetUp() override { readMdlText(model_, kModel); }
  ModelData model_;
};

TEST_F(AniReader, WorkedExampleGivesOneBoundTrackWithThreeKeys) {
  std::string problem = "x";
  ASSERT_TRUE(readAniText(model_, kWalk, &problem));
  EXPECT_EQ(problem, "");
  ASSERT_EQ(model_.animations.size(), 1u);
  const AnimationSet& walk = *model_.animations[0];
  EXPECT_EQ(walk.id, u"WALK");
  ASSERT_EQ(walk.tracks.size(), 1u);
  const BoneTrack& t = *walk.tracks[0];
  EXPECT_EQ(t.target, u"arm_id");
  EXPECT_EQ(t.bone, model_.bones[1]);
  EXPECT_EQ(t.keyTimes, (std::vector<float>{0, 0.5f, 1}));
  ASSERT_EQ(t.poses.size(), 3u);
  EXPECT_EQ(t.poses[0], kIdentityMatrix);
  EXPECT_EQ(t.poses[2][10], 3.0f);
  EXPECT_EQ(t.poses[2][15], 1.0f);
  // Loading the same file again adds a second set.
  ASSERT_TRUE(readAniText(model_, kWalk));
  EXPECT_EQ(model_.animations.size(), 2u);
}

TEST_F(AniReader, AnotherModelIsRefusedAndNothingIsAdded) {
  std::string problem;
  EXPECT_FALSE(readAniText(model_, "<ANIMATION_BEGIN>\n<ANIMATION_END>\n<TARGET_MODEL_ID>\nwalker\n",
                           &problem));
  EXPECT_TRUE(model_.animations.empty());
  EXPECT_NE(problem.find("\"walker\""), std::string::npos) << problem;
  // Without TARGET_MODEL_ID any model accepts the file, even one with no track.
  EXPECT_TRUE(readAniText(model_, "<ANIMATION_ID>\nSTAND\n"));
  ASSERT_EQ(model_.animations.size(), 1u);
  EXPECT_TRUE(model_.animations[0]->tracks.empty());
}

TEST_F(AniReader, FileErrorsNameTheFile) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readAni(model_, "/nonexistent/walk.ani"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/nonexistent/walk.ani: cannot open"), std::string::npos) << err;
  EXPECT_TRUE(model_.animations.empty());
}

TEST_F(AniReader, TargetsBindByIdNotByName) {
  ASSERT_TRUE(readAniText(model_, "<ANIMATION_BEGIN>\n<TARGET> Arm\n<ANIMATION_END>\n"
                                  "[ANIMATION_BEGIN]\n[TARGET] root_id\n[ANIMATION_END]\n"));
  const auto& tracks = model_.animations[0]->tracks;
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0]->bone, nullptr);  // kept, unbound
  EXPECT_EQ(tracks[1]->bone, model_.bones[0]);
}

TEST_F(AniReader, PoseSectionsEndAtTheirEndLineOrTheEndOfTheFile) {
  // "<POSE_MATRIX_END>" is recognised with its brackets; a section cut by the end of the file
  // keeps its poses, but the track was never closed, so it is left out.
  std::string problem;
  ASSERT_TRUE(readAniText(model_,
                          std::string("<ANIMATION_BEGIN>\n<POSE_MATRIX>\n") + kPoses +
                              "< POSE_MATRIX_END >\n<ANIMATION_END>\n<ANIMATION_BEGIN>\n"
                              "<POSE_MATRIX>\n1 2 3\n",
                          &problem));
  const auto& tracks = model_.animations[0]->tracks;
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0]->poses.size(), 3u);
  EXPECT_NE(problem.find("ends inside a track"), std::string::npos);
}

TEST_F(AniReader, LinesAfterAnimationEndStillFillTheTrack) {
  // The track stays current after ANIMATION_END: a pose section there, ended by the end of
  // the file, keeps every pose; a second ANIMATION_END does not append the track again.
  std::string problem;
  ASSERT_TRUE(readAniText(model_,
                          std::string("<ANIMATION_BEGIN>\n<KEY_TIME>\n0 1\n<ANIMATION_END>\n"
                                      "<TARGET> root_id\n<ANIMATION_END>\n<POSE_MATRIX>\n") +
                              kPoses,
                          &problem));
  EXPECT_EQ(problem, "");
  const auto& tracks = model_.animations[0]->tracks;
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0]->bone, model_.bones[0]);
  EXPECT_EQ(tracks[0]->poses.size(), 3u);
}

TEST_F(AniReader, OnlyTheLineAfterKeyTimeHoldsTimes) {
  ASSERT_TRUE(readAniText(model_, "<ANIMATION_BEGIN>\n<KEY_TIME>\n0 1\n2 3\n<POSE_MATRIX>\n1\n"
                                  "<POSE_MATRIX_END>\n<ANIMATION_END>\n"));
  const BoneTrack& t = *model_.animations[0]->tracks[0];
  EXPECT_EQ(t.keyTimes, (std::vector<float>{0, 1}));
  ASSERT_EQ(t.poses.size(), 1u);
  EXPECT_EQ(t.poses[0][0], 1.0f);  // a short pose line is completed with zeros
  EXPECT_EQ(t.poses[0][15], 0.0f);
}

TEST_F(AniReader, TrackLinesBeforeAnyTrackAreConsumedAndDropped) {
  ASSERT_TRUE(readAniText(model_, "<TARGET> arm_id\n<KEY_TIME>\n<ANIMATION_BEGIN>\n"
                                  "<POSE_MATRIX>\n<ANIMATION_BEGIN>\n<POSE_MATRIX_END>\n"
                                  "<ANIMATION_END>\n<ANIMATION_END>\n"));
  // The KEY_TIME line swallowed the first ANIMATION_BEGIN and the pose section the second, so
  // no track was ever opened; a lone ANIMATION_END adds nothing.
  EXPECT_TRUE(model_.animations[0]->tracks.empty());
  // A track is appended once however many ANIMATION_END lines follow it.
  ASSERT_TRUE(readAniText(model_, "<ANIMATION_BEGIN>\n<ANIMATION_END>\n<ANIMATION_END>\n"));
  EXPECT_EQ(model_.animations[1]->tracks.size(), 1u);
}

}  // namespace
