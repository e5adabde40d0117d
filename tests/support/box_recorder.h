// Message boxes in a test program: every box the program asks for is recorded and answered at
// once, never shown. For test programs that link the common GUI library.
#pragma once

#include "common/message_box.h"

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace velin::test {

class Box_recorder {
public:
    // Takes over the boxes of the whole program; the recorder outlives every box it answers.
    void install()
    {
        set_message_box_answerer([this](const Message_box_request& request) {
            _boxes.push_back(request);
            if (!answers.empty()) {
                const int answer = answers.front();
                answers.pop_front();
                return answer;
            }
            return (request.flags & MB_TYPEMASK) == MB_YESNO ? question_answer : IDOK;
        });
    }

    // Given in order, one per box; once they run out, yes/no questions get question_answer and
    // every other box IDOK.
    std::deque<int> answers;
    int question_answer = IDOK;

    // The boxes asked for, in order.
    bool empty() const { return _boxes.empty(); }
    std::size_t size() const { return _boxes.size(); }
    const Message_box_request& operator[](std::size_t index) const { return _boxes[index]; }
    const Message_box_request& at(std::size_t index) const { return _boxes.at(index); }
    const Message_box_request& front() const { return _boxes.front(); }
    const Message_box_request& back() const { return _boxes.back(); }
    auto begin() const { return _boxes.begin(); }
    auto end() const { return _boxes.end(); }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> texts;
        for (const Message_box_request& box : _boxes)
            texts.push_back(box.text);
        return texts;
    }
    // Forgets the boxes asked for so far (not the answers still to give).
    void clear() { _boxes.clear(); }

private:
    std::vector<Message_box_request> _boxes;
};

} // namespace velin::test
