"""A FastAPI application as most look: a path parameter, a dependency, a pydantic model
in (the JSON body) and out (the response model).

    POST /items/{item_id}   {"name": str, "price": float, "tags": [str]}
                            -> {"id", "name", "price", "tags", "owner", "total"}
"""

from fastapi import Depends, FastAPI, Header
from pydantic import BaseModel

app = FastAPI()


class ItemIn(BaseModel):
    name: str
    price: float
    tags: list[str] = []


class ItemOut(BaseModel):
    id: int
    name: str
    price: float
    tags: list[str]
    owner: str
    total: float


class Owner:
    def __init__(self, name: str):
        self.name = name


async def current_owner(x_user: str = Header("anonymous")) -> Owner:
    return Owner(x_user)


@app.post("/items/{item_id}", response_model=ItemOut)
async def update_item(item_id: int, item: ItemIn, owner: Owner = Depends(current_owner)):
    return ItemOut(id=item_id, name=item.name, price=item.price, tags=item.tags,
                   owner=owner.name, total=round(item.price * 1.2, 2))
