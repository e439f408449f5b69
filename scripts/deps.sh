# Sourced by the scripts: installs Debian packages only when they are missing.
# Usage: mv_need_packages PACKAGE...

mv_need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What every build needs: the toolchain, Vulkan, X11, Cairo, ALSA, the libraries the
# readers and image decoders use, and FFmpeg's libraries for the video files.
MV_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libstb-dev libvulkan-dev glslc mesa-vulkan-drivers libx11-dev libxext-dev libxrandr-dev libcairo2-dev libasound2-dev fonts-dejavu-core libpugixml-dev zlib1g-dev libjpeg-dev
                    libsimdjson-dev libmeshoptimizer-dev libdraco-dev libwebp-dev libtiff-dev libassimp-dev
                    libavcodec-dev libavformat-dev libavutil-dev libswscale-dev)
# What the test build adds: clang with its sanitizer and fuzzer runtimes, GoogleTest,
# Google Benchmark, the locale sources for the comma-decimal locale test, the freedesktop
# tools that check the installed desktop entry and file types, the model files of other tools
# that the readers are tested on, Node.js for glTF-Transform, which checks the glTF reader, and
# FFmpeg's command line tools, which read the written videos back.
MV_TEST_PACKAGES=(clang libclang-rt-14-dev libgtest-dev libbenchmark-dev vulkan-validationlayers locales
                  desktop-file-utils shared-mime-info libglib2.0-bin assimp-testmodels nodejs ffmpeg)
# Debian's npm is a package of its own; a Node.js installed from elsewhere brings its own npm
# and conflicts with Debian's.
if ! command -v npm >/dev/null 2>&1; then MV_TEST_PACKAGES+=(npm); fi
# What only the benchmarks need.
MV_BENCH_PACKAGES=(libbenchmark-dev libassimp-dev libtinygltf-dev nlohmann-json3-dev)
# The peer viewer the benchmarks compare pictures with; scripts/bench installs it, the tests
# never need it.
MV_PEER_PACKAGES=(f3d)
# What running the viewer without a display, and the end-to-end tests, need.
MV_VIRTUAL_DISPLAY_PACKAGES=(xvfb xdotool x11-utils imagemagick openbox)
