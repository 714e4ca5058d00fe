// Root classes of the network stack.
//
// TNetPersistent: an object whose values can be copied into another object of a
// compatible class with Assign; a foreign class is refused with EAssignError.
//
// TNetBaseComponent: a component. It may have an owner, may own further
// components (destroyed with it, newest first), and can ask to be told when a
// component it refers to is destroyed (free notification), so that it never
// keeps a dangling reference.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

class TNetPersistent {
 public:
  virtual ~TNetPersistent() = default;

  // Copies Source's values into this object. The base refuses every source
  // with EAssignError ("Cannot assign a <source class> to a <this class>").
  virtual void Assign(const TNetPersistent& Source);

  // The class name shown in assignment errors; each class that is assigned
  // from or to overrides it with its own name.
  virtual std::string ClassName() const { return "TNetPersistent"; }

 protected:
  // The whole Assign of a class TClass whose values are the members of
  // TValues (a plain struct it derives from, or TClass itself when it is
  // copyable): a TClass source hands them over by TValues' defaulted copy;
  // any other class is refused as above. A new field is copied without a
  // line of its own.
  template <class TClass, class TValues = TClass>
  void AssignValues(const TNetPersistent& Source) {
    const auto* other = dynamic_cast<const TClass*>(&Source);
    if (!other) {
      TNetPersistent::Assign(Source);
      return;
    }
    static_cast<TValues&>(static_cast<TClass&>(*this)) = static_cast<const TValues&>(*other);
  }
};

enum TNetOperation : int { opInsert, opRemove };

class TNetBaseComponent : public TNetPersistent {
 public:
  explicit TNetBaseComponent(TNetBaseComponent* AOwner = nullptr);
  ~TNetBaseComponent() override;

  TNetBaseComponent(const TNetBaseComponent&) = delete;
  TNetBaseComponent& operator=(const TNetBaseComponent&) = delete;

  std::string ClassName() const override { return "TNetBaseComponent"; }

  TNetBaseComponent* Owner() const { return FOwner; }

  // Creates a component owned by this one: T's constructor receives this
  // component as its owner, followed by args.
  template <class T, class... Args>
  T* CreateComponent(Args&&... args) {
    return Adopt(std::make_unique<T>(this, std::forward<Args>(args)...));
  }

  // Takes over a component made elsewhere; it is destroyed with this one.
  template <class T>
  T* Adopt(std::unique_ptr<T> AComponent) {
    T* raw = AComponent.get();
    FComponents.emplace_back(std::move(AComponent));
    return raw;
  }

  // Destroys a component owned by this one at once. A component this one does
  // not own is left alone (returns false).
  bool FreeComponent(TNetBaseComponent* AComponent);

  bool Owns(const TNetBaseComponent* AComponent) const;
  size_t ComponentCount() const { return FComponents.size(); }

  // Asks this component to tell AComponent (through its Notification, with
  // opRemove) when this one is destroyed. The link is mutual: whichever of the
  // two goes first unregisters itself from the other.
  void FreeNotification(TNetBaseComponent* AComponent);
  void RemoveFreeNotification(TNetBaseComponent* AComponent);

  // Loading: while stored settings are applied, some properties only record
  // their value; EndLoading applies them through Loaded.
  bool Loading() const { return FLoading; }
  bool Destroying() const { return FDestroying; }
  void BeginLoading() { FLoading = true; }
  void EndLoading();

 protected:
  // Called with opRemove when a component this one registered with (or owns)
  // is being destroyed. Overrides must call the base.
  virtual void Notification(TNetBaseComponent* AComponent, TNetOperation AOperation);
  virtual void Loaded() {}

 private:
  void Unlink(TNetBaseComponent* AComponent);

  TNetBaseComponent* FOwner;
  std::vector<std::unique_ptr<TNetBaseComponent>> FComponents;
  std::vector<TNetBaseComponent*> FFreeNotifies;
  bool FLoading = false;
  bool FDestroying = false;
};
