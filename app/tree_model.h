// A plain tree of texts: the users, groups and tables outline that the
// window shows. Qt-free so that the outline file is tested headless; the
// window copies it into its tree control after loading and back before
// saving.
//
// API contract:
// - Nodes are owned by their parent (top-level nodes by the tree); a
//   pointer to a node stays valid until that node or an ancestor is deleted
//   or the tree is cleared.
// - `Level` is 0 for top-level nodes. `ImageIndex` is the image for both the
//   normal and the selected state (-1 = none).
// - `PreOrder` lists every node in absolute-index order: a node, its
//   children in order, then its next sibling.
// - No operation recurses: a tree of any depth is walked and destroyed with
//   a stack of constant size.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tesmira {

class TTree;

class TTreeNode {
public:
  TTreeNode(const TTreeNode&) = delete;
  TTreeNode& operator=(const TTreeNode&) = delete;
  ~TTreeNode();

  const std::u16string& Text() const noexcept { return text_; }
  void SetText(std::u16string text) { text_ = std::move(text); }
  int ImageIndex() const noexcept { return image_index_; }
  void SetImageIndex(int index) noexcept { image_index_ = index; }
  bool Expanded() const noexcept { return expanded_; }
  void SetExpanded(bool expanded) noexcept { expanded_ = expanded; }

  TTreeNode* Parent() const noexcept { return parent_; }
  int Level() const noexcept;
  int Count() const noexcept { return static_cast<int>(children_.size()); }
  // nullptr for an index outside 0..Count()-1.
  TTreeNode* Item(int index) const noexcept;
  // Position among its siblings.
  int Index() const noexcept;

  TTreeNode* AddChild(std::u16string text);
  TTreeNode* AddChildFirst(std::u16string text);

private:
  friend class TTree;
  TTreeNode(TTreeNode* parent, std::u16string text) : parent_(parent), text_(std::move(text)) {}

  TTreeNode* parent_ = nullptr;
  std::u16string text_;
  int image_index_ = -1;
  bool expanded_ = false;
  std::vector<std::unique_ptr<TTreeNode>> children_;
};

class TTree {
public:
  TTree() = default;
  TTree(const TTree&) = delete;
  TTree& operator=(const TTree&) = delete;

  int TopCount() const noexcept { return static_cast<int>(roots_.size()); }
  TTreeNode* Top(int index) const noexcept;
  TTreeNode* AddTop(std::u16string text);
  // Removes the node with all its children.
  void Delete(TTreeNode* node);
  void Clear() noexcept { roots_.clear(); }
  bool Empty() const noexcept { return roots_.empty(); }

  std::vector<TTreeNode*> PreOrder() const;
  int Count() const { return static_cast<int>(PreOrder().size()); }

private:
  std::vector<std::unique_ptr<TTreeNode>> roots_;
};

}  // namespace tesmira
