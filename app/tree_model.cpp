#include "app/tree_model.h"

#include <algorithm>

namespace tesmira {

TTreeNode::~TTreeNode() {
  // Destroying a chain of owners would recurse as deep as the tree is.
  std::vector<std::unique_ptr<TTreeNode>> pending = std::move(children_);
  while (!pending.empty()) {
    std::unique_ptr<TTreeNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children_) pending.push_back(std::move(child));
    node->children_.clear();
  }
}

int TTreeNode::Level() const noexcept {
  int level = 0;
  for (const TTreeNode* p = parent_; p; p = p->parent_) ++level;
  return level;
}

TTreeNode* TTreeNode::Item(int index) const noexcept {
  if (index < 0 || index >= Count()) return nullptr;
  return children_[static_cast<size_t>(index)].get();
}

int TTreeNode::Index() const noexcept {
  if (!parent_) return -1;
  for (int i = 0; i < parent_->Count(); ++i) {
    if (parent_->children_[static_cast<size_t>(i)].get() == this) return i;
  }
  return -1;
}

TTreeNode* TTreeNode::AddChild(std::u16string text) {
  children_.push_back(std::unique_ptr<TTreeNode>(new TTreeNode(this, std::move(text))));
  return children_.back().get();
}

TTreeNode* TTreeNode::AddChildFirst(std::u16string text) {
  children_.insert(children_.begin(), std::unique_ptr<TTreeNode>(new TTreeNode(this, std::move(text))));
  return children_.front().get();
}

TTreeNode* TTree::Top(int index) const noexcept {
  if (index < 0 || index >= TopCount()) return nullptr;
  return roots_[static_cast<size_t>(index)].get();
}

TTreeNode* TTree::AddTop(std::u16string text) {
  roots_.push_back(std::unique_ptr<TTreeNode>(new TTreeNode(nullptr, std::move(text))));
  return roots_.back().get();
}

void TTree::Delete(TTreeNode* node) {
  if (!node) return;
  auto& list = node->parent_ ? node->parent_->children_ : roots_;
  auto it = std::find_if(list.begin(), list.end(), [node](const auto& p) { return p.get() == node; });
  if (it != list.end()) list.erase(it);
}

std::vector<TTreeNode*> TTree::PreOrder() const {
  std::vector<TTreeNode*> out;
  std::vector<TTreeNode*> stack;
  for (auto it = roots_.rbegin(); it != roots_.rend(); ++it) stack.push_back(it->get());
  while (!stack.empty()) {
    TTreeNode* n = stack.back();
    stack.pop_back();
    out.push_back(n);
    for (auto it = n->children_.rbegin(); it != n->children_.rend(); ++it) stack.push_back(it->get());
  }
  return out;
}

}  // namespace tesmira
