#pragma once
// Scripted stand-ins for the platform services, recording every call.

#include <deque>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "builder/dialog.h"
#include "platform/file_system.h"

// A folder identity for the fakes; 0 stands for one the platform couldn't tell.
inline FolderId fakeId(uint64_t index) {
    FolderId id;
    id.index = index;
    id.known = index != 0;
    return id;
}

struct FakeFileSystem : FileSystem {
    std::map<std::string, std::vector<FolderItem>> folders;
    std::map<std::string, uint64_t> folderIds;  // what each listing reports as its folder's id
    std::vector<std::string> existing;
    std::vector<std::string> calls;
    std::string runsOutOfMemoryAt;  // the folder whose listing throws std::bad_alloc

    bool listFolder(const std::string& folderPath, FolderId& id,
                    std::vector<FolderItem>& items) override {
        calls.push_back("list " + folderPath);
        if (!runsOutOfMemoryAt.empty() && folderPath == runsOutOfMemoryAt) throw std::bad_alloc();
        const auto it = folders.find(folderPath);
        if (it == folders.end()) return false;
        const auto known = folderIds.find(folderPath);
        if (known != folderIds.end()) id = fakeId(known->second);
        items.insert(items.end(), it->second.begin(), it->second.end());
        return true;
    }

    // What a stat left for later finds, by file name; a name not here is gone by then.
    std::map<std::string, FolderItem> lateStats;
    bool recordStatCalls = false;  // calls gets those of statLater, leaveFolder and finishStats

    void statLater(FileEntry& entry, const char* name) override {
        if (recordStatCalls) calls.push_back(std::string("stat later ") + name);
        const auto it = lateStats.find(name);
        entry.modifiedTime = it == lateStats.end() ? kNoLongerAFile : it->second.localSeconds;
        if (it != lateStats.end()) entry.size = it->second.size;
    }
    void leaveFolder() override {
        if (recordStatCalls) calls.push_back("leave");
    }
    void finishStats() override {
        if (recordStatCalls) calls.push_back("finish");
    }

    bool exists(const std::string& path) override {
        calls.push_back("exists " + path);
        for (const std::string& e : existing) {
            if (e == path) return true;
        }
        return false;
    }
};

inline FolderItem fakeFile(const std::string& name, uint64_t size = 0, int64_t localSeconds = 0) {
    FolderItem item;
    item.name = name;
    item.kind = FolderItem::Kind::File;
    item.size = size;
    item.hasTime = true;
    item.localSeconds = localSeconds;
    return item;
}

// A file whose size and time the listing leaves for later (FakeFileSystem::lateStats).
inline FolderItem lateFile(const std::string& name) {
    FolderItem item;
    item.name = name;
    item.kind = FolderItem::Kind::File;
    item.statLater = true;
    return item;
}

// A folder; `linkedId`, when not 0, is the identity the listing found behind a link.
inline FolderItem fakeFolder(const std::string& name, uint64_t linkedId = 0) {
    FolderItem item;
    item.name = name;
    item.kind = FolderItem::Kind::Folder;
    item.id = fakeId(linkedId);
    return item;
}

struct FakeDialog : Dialog {
    std::deque<bool> answers;  // answers to the questions, in order; Cancel once used up
    std::vector<std::string> shown;

    void showInformation(const std::string& text) override { shown.push_back("info: " + text); }
    bool askToContinue(const std::string& text) override {
        shown.push_back("ask: " + text);
        if (answers.empty()) return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void showError(const std::string& text) override { shown.push_back("error: " + text); }
};
