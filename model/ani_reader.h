// The reader of animation files (.ani): one skeletal animation for one model, a list of key
// times and one pose matrix per key for each animated bone, appended to the model it animates.
#pragma once

#include <filesystem>
#include <string>

struct ModelData;

// Reads the .ani file `fileName` and appends one AnimationSet to `model.animations`, its
// tracks bound to the model's bones by id (so the bones must be read first). Returns false,
// with one line on stderr naming the file and the reason, when the file cannot be opened or
// names another model ("TARGET_MODEL_ID"); nothing is added then. A track cut off by the end
// of the file is left out.
bool readAni(ModelData& model, const std::filesystem::path& fileName);

// Reads .ani text held in memory, as readAni reads a file's bytes. Returns false when the text
// names another model; `problem`, when not null, receives the reason, or stays empty.
bool readAniText(ModelData& model, std::string bytes, std::string* problem = nullptr);
