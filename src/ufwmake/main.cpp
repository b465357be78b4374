// ufw_make: wraps one file into an update file.
#include <cstdio>

#include "platform/platform.h"
#include "ufwmake/make_ufw_file.h"
#include "ufwmake/ufw_options.h"

namespace {

void show_usage() {
  std::printf("%s", __DATE__);  // the build date, Mmm dd yyyy
  plat::print_native("\n-fi [输入文件名] -ld [加载地址] -rd [运行地址] -fo [输出文件名]\n");
  std::printf("Press any key to continue\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc - 1 < dlm::UFW_MIN_ARGS) {
    show_usage();
    plat::wait_key();
    plat::exit_process(dlm::UFW_USAGE);
  }
  dlm::UfwOptions opt;
  if (int rc = dlm::parse_ufw_options(argc, argv, opt); rc != dlm::UFW_OK) plat::exit_process(rc);
  plat::exit_process(dlm::make_ufw_file(opt));
}
