#include "driver/usage.h"

#include <cstdio>

#include "common/version.h"

namespace dlm {

const char* usage_text() {
  return R"(Usage: dlmtool CONFIG.cfg [OPTION]...
       dlmtool [ARGUMENT]      (no argument, or one other than these: the
                               operator console)
       dlmtool --help | -h | --version

Finds the chip (a USB disk in download mode), starts its loader, builds the
flash image from the inputs and writes only the 64 KiB blocks that changed
since the last run. With no chip attached, the image is left in qx_dlm.bin.
CONFIG.cfg is the tool configuration; an argument without ".cfg" in it is
ignored and dlm_tools.cfg is read instead. ADDR and N read as hexadecimal
with a 0x in front, else as decimal.

Destination (the last one wins):
  -tonorflash            write the image to SPI NOR flash
  -tonandflash           write the image to SPI NAND flash
  -tosd                  write the image to an SD card
  -todisk                write the image to whatever medium the chip reports
  -read FILE ADDR-LEN    read flash into FILE and end: 0xADDR-LEN is a hex
                         address and a decimal length, ADDR-LEN both decimal;
                         LEN may end in K, M or G and is read up to 512 bytes
                           e.g. -read back.bin 0x0-16M
Inputs:
  -f FILE...             image files in order (boot file, code file, ...)
                           e.g. -f u.boot sdram.apu
  -resource DIR... N     pack each DIR into DIR.res; the number N that closes
                         the group is the alignment (512)
                           e.g. -resource res 512
  -aline N               zone alignment in bytes (512)
  -runaddr ADDR          code run address for the image (family default)
  -ufwmodeM              also make the update file QX_PM20.ufw, M = 1 code,
                         2 resource, 3 flash, 4 logo   e.g. -ufwmode3
  -no_version            pass -no_version to ufw_make
Chip:
  -dev NAME[;NAME...]    chip family names to look for (zk40)   e.g. -dev zk40
  -boot ADDR             RAM address of the loader (family default)
  -divN                  divider handed to the loader, 0 to 255 (1)  e.g. -div4
  -tosdram FILE ADDR...  load files into chip RAM before writing
                           e.g. -tosdram app.bin 0x2000000
  -format vm|cfg|S-C     erase 4 KiB sectors: vm 17 and cfg 1 from sector 0,
                         S-C C sectors from sector S   e.g. -format 16-4
  -erase                 write every block, not only the changed ones
  -wflash FILE ADDR      also write FILE to flash at ADDR
                           e.g. -wflash logo.bin 0x100000
  -go ADDR               start the code at ADDR at the end   e.g. -go 0x2000000
  -reboot                reset the chip at the end
Run:
  -strict                no chip found, a missing -resource directory, or a
                         -f or -resource input of the wrong kind ends the run
                         with a non-zero status instead of going on
  -wN                    on failure: -w0 message box, -w1 bell (default),
                         any other number quiet
  -wait N                accepted, not used

Exit status:
  0    done; also a read job, and an offline run that built qx_dlm.bin only
  1    a bad value (-aline 0, a negative -format count), a chip reply that
       does not match, or a -wflash file that cannot be opened
  2    a -f file does not exist; with -strict also a -f input that is not a
       regular file and a -resource entry that is not a directory
  3    an offline run cannot copy the image to qx_dlm.bin, or a flash block
       stays non-blank after erasing
  4    no chip found and there was nothing to build or an update file was
       made; with -strict, no chip found
  5    the chip reports no medium, or not the one the job asks for
  6    an input file cannot be opened (a -f file, a resource file, the
       loader, a RAM file), or the image cannot be created in the temporary
       directory
  7    an output file cannot be created (a DIR.res package, the read job's
       file, no_dlm_file)
  8    writing a file failed (the image in the temporary directory)
  10   chip RAM read back differs from what was loaded
  11   a file name is longer than 16 characters
  13   the image, counted in 64 KiB units, is larger than the flash
  100  the configuration file cannot be loaded
  other  a device status, or the exit status of ufw_make; statuses above 255
         read as 255 outside Windows
A line naming the failed step, its status and any file concerned goes to
standard error; standard output keeps the tool's own messages.

Examples:
  dlmtool dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot
  dlmtool dlm_tools.cfg -tonorflash -read back.bin 0x0-16M
  dlmtool dlm_tools.cfg -strict -tonorflash -f u.boot sdram.apu -w2
)";
}

void print_version() { std::printf("dlmtool %s\n", source_version()); }

}  // namespace dlm
