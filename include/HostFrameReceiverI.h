#pragma once
// The host's receiver of water-level frames, handed to the simulator with SetHostContext.
// After each water-level frame written in a grid file format the simulator calls
// FileWrittenNotice with the level index and the frame's flattened values (row-major,
// first row at yMin). Ownership of the values passes to the host.
#include <cstdint>
#include <memory>
#include <vector>

class HostFrameReceiverI {
public:
    virtual void Reserved() {}
    virtual void FileWrittenNotice(int32_t levelIndex, std::unique_ptr<std::vector<float>> values,
                                   int32_t reserved) = 0;

protected:
    ~HostFrameReceiverI() = default;  // the host owns the receiver; the simulator never deletes it
};
