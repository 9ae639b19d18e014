#include "container/default_parameters.h"

#include "container/file_helpers.h"

namespace kfs {

const std::vector<std::string>& DefaultParameterLines() {
    // The two model lines are the full 24-character vendor and product field, trailing blanks
    // included; the title lines begin with seven blanks.
    static const std::vector<std::string> kLines = {
        "[Main]",
        "Updater=0",
        "ShowCaption=1",
        "ProgramName=Kemo Flash KFS3 Utility",
        "ShowVersion=1",
        "ShowDate=1",
        "[Argument default value]",
        "s=0",
        "i=0",
        "n=-1",
        "k=0",
        "u=0",
        "a=1",
        "y=0",
        "d=0",
        "g=0",
        "r=0",
        "[Argument enabled]",
        "s=1",
        "c=1",
        "b=1",
        "h=1",
        "v=1",
        "e=1",
        "i=1",
        "n=1",
        "k=1",
        "u=1",
        "a=1",
        "p=1",
        "m=1",
        "o=1",
        "f=1",
        "t=1",
        "y=1",
        "d=1",
        "g=1",
        "r=1",
        "Disable98AutoInsertNotification=1",
        "[Other settings]",
        "CheckSum=0",
        "HardwareID=0",
        "ModelName=0",
        "AvailableModel=0",
        "Verify=1",
        "NoDisc=1",
        "ImmediateAtapi=1",
        "WriteNewCode=1",
        "ErasePadRandom=0",
        "ErasePadChar=0",
        "Timer=1",
        "[AvailableModelNames]",
        "KEMO    VRD-E838P2      ",
        "KEMO    VRC-1430        ",
        "[Title]",
        "       -- Compatible with Kemo KFS3 Utility v1.13. 2005/11/29",
        "       -- Compatible with Kemo Merge Utility v1.07. 2005/10/06",
    };
    return kLines;
}

bool WriteDefaultParameterFile(const std::string& fileName) {
    return WriteLines(fileName, DefaultParameterLines());
}

}  // namespace kfs
