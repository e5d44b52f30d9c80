#include "quillmar/snippets/FactorySnippets.h"

namespace quillmar {

std::vector<Snippet> factorySnippets() {
    return {
        {"31F90180-8027-4127-A4FF-BC15FCDC0062", "Disk usage of this folder", "du -sh -- * | sort -h", "Files",
         {"disk"}, "Sizes of everything here, largest last."},
        {"F7D2633B-F993-4AAA-AD69-0D05EF94AE21", "Find files over 100 MB",
         "find . -type f -size +100M -exec ls -lh {} +", "Files", {"disk"}, ""},
        {"E05D33B8-A2BC-4836-9802-8465B1ACE6FA", "Free space on every disk", "df -h", "Files", {"disk"}, ""},
        {"75CFD5EC-D0BE-4A75-8E56-AEEBC9A94CA4", "Top processes by memory", "ps aux --sort=-%mem | head -n 15",
         "Processes", {"linux"}, ""},
        {"8B165AAD-753F-43B0-8998-A4B57A57E224", "Top processes by CPU", "ps -Ao pid,pcpu,pmem,comm -r | head -n 15",
         "Processes", {"macos"}, ""},
        {"FADD95B1-8D56-4B9A-ABCD-C1431263818A", "Follow the system log", "journalctl -f", "Processes", {"linux"},
         "Add -u <unit> for one service."},
        {"084C2A3E-4A56-4DC0-8903-1F8593F84C32", "Follow the system log", "log stream --level info", "Processes",
         {"macos"}, ""},
        {"F26F74DD-393B-47DD-91BA-6B3554290CE0", "Listening ports", "ss -tulpn", "Network", {"linux"},
         "Run with sudo to see every process."},
        {"548F6A5B-22D0-43B3-AA8B-129A00E9082C", "Listening ports", "lsof -nP -iTCP -sTCP:LISTEN", "Network",
         {"macos"}, ""},
        {"1F43BEF1-EF2A-4052-A7DE-3BE779546D49", "Network addresses", "ip -brief address", "Network", {"linux"}, ""},
        {"269AA686-54F7-411A-BE8E-2C04305F1F37", "Who answers on a port", "nc -vz host 22", "Network", {}, ""},
        {"365D61BB-A545-4056-B3F8-A7EDBCE61694", "Compact history", "git log --oneline --graph --decorate -n 20",
         "Git", {}, ""},
        {"C9A405DC-E1BE-4028-8FC2-60E166D3954D", "Branches by last commit", "git branch --sort=-committerdate", "Git",
         {}, ""},
        {"D1373C6C-3233-4A48-9BF5-AF5F3C967870", "Undo the last commit, keep the changes", "git reset --soft HEAD~1",
         "Git", {}, ""},
        {"1FA08CE0-B00C-475C-AC7A-AC8A42B83CDC", "Copy my key to a host", "ssh-copy-id -i ~/.ssh/id_ed25519.pub user@host",
         "SSH", {}, ""},
        {"27DB3AA0-1F25-46BB-B48D-B686E00F2832", "Forward a remote port here", "ssh -N -L 8080:localhost:80 user@host",
         "SSH", {}, "Then open http://localhost:8080."},
    };
}

}  // namespace quillmar
