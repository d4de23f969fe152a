// The two forms of the package tool's inspection: lines for people and JSON for scripts.
#pragma once

#include "package/format/format.h"
#include "tools/rpx/json.h"

#include <memory>
#include <ostream>
#include <string>

namespace rpx {

struct PackageSummary {
    std::string name;
    uint32_t version = 0;
    std::string digest;  // hex, empty when none was computed
    std::string verdict; // "valid", "invalid", "unsigned"
    bool knownDigest = false;
};

class InspectOutput {
public:
    virtual ~InspectOutput() = default;
    virtual void beginFile(const std::string& name, uint32_t magic, uint64_t totalSize) = 0;
    virtual void beginParts() = 0;
    virtual void beginPart(int kind, uint64_t offset, uint32_t length) = 0;
    virtual void header(const installer::HeaderBody& header) = 0;
    virtual void beginText(const char* field) = 0;
    virtual void textPiece(std::string_view text) = 0;
    virtual void endText() = 0;
    virtual void beginRequirements() = 0;
    virtual void requirement(const installer::RequirementRecord& r) = 0;
    virtual void endRequirements() = 0;
    virtual void beginEntries() = 0;
    virtual void entry(const installer::FileEntryHeader& e, std::string_view name,
                       std::string_view target, uint32_t device) = 0;
    virtual void endEntries(uint64_t inflatedSize) = 0;
    virtual void signature(const std::string& verdict) = 0;
    virtual void endPart() = 0;
    virtual void endParts() = 0;
    virtual void package(const PackageSummary& summary) = 0;
    virtual void endFile(bool ok, const std::string& error) = 0;
};

std::unique_ptr<InspectOutput> textOutput(std::ostream& out);
std::unique_ptr<InspectOutput> jsonOutput(std::ostream& out);

// "header", "archive", ... or "unknown".
const char* partName(int kind);

} // namespace rpx
